#pragma once

#include <memory>
#include <string>
#include <vector>

#include "support/TempDir.h"
#include "support/TestArchives.h"

namespace tavo::test {

// The applet's files in the per-user StampIT cache (under the test's HOME):
// three archives (empty ZIP files: our wrapper loads nothing from them), the
// native library (a few bytes) and our compiled wrapper class.
void seedStampItCache();

// Points JavaFinder at the installed OpenJDK 17 for the life of the object.
class UseJdk17 {
public:
    UseJdk17();

private:
    ScopedEnv javaHome_;
};

// Keeps the SoftHSM module mapped until the process ends: ThreadSanitizer's
// suppression of the (uninstrumented) module refuses a library that is
// unloaded, which a signer's destruction otherwise does.
void keepSoftHsmLoaded();

// One signing request the wrapper made and the reply it read.
struct WrapperExchange {
    std::string askedBase64;  // the payload after "SIGN:"
    std::string reply;        // the whole reply line
};

// What the wrapper saw during one run.
struct WrapperRecord {
    std::vector<std::string> args;  // its arguments (after the class name's position: all of main's args)
    std::string firstInputLine;
    std::vector<WrapperExchange> exchanges;
};

// A scenario for our TavoVatUploader (one command a line, see its source),
// handed to the child through the environment, with the record it keeps.
class WrapperScenario {
public:
    explicit WrapperScenario(const std::vector<std::string>& commands);
    WrapperRecord record() const;

private:
    TempDir dir_;
    std::unique_ptr<ScopedEnv> scenario_, record_;
};

}  // namespace tavo::test
