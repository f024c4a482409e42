// The bridge's line contract as pure functions, and the checks that end a
// call before any Java program runs.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/Logger.h"
#include "infrastructure/java/StampItBridge.h"
#include "infrastructure/signing/ISigner.h"
#include "support/FakeJava.h"
#include "support/TempDir.h"

namespace {

namespace lines = tavo::stampit::bridge_lines;
using tavo::stampit::StampItBridge;
using Strings = std::vector<std::string>;

std::vector<uint8_t> bytes(const std::string& s) {
    return {s.begin(), s.end()};
}

TEST(StampItLines, ValidationErrorsOfAFailedRun) {
    struct Case {
        const char* name;
        Strings out;
        std::string err;
        int code;
        Strings expected;
    };
    Strings twelve;
    std::string twelveErr;
    for (int i = 1; i <= 12; ++i) {
        twelveErr += "  at line " + std::to_string(i) + "\t\r\n\n";
        if (i <= 10) twelve.push_back("at line " + std::to_string(i));
    }
    const std::string codeMessage = "Валидацията се провали (код 3). Виж TavoAgentC.log за пълен изход от Java.";
    for (const Case& c : {
             Case{"distinct output lines, trimmed, first place kept",
                  {" Грешка в ред 5 ", "stat: 1", "Грешка в ред 5", "\tДруга грешка\r", "Грешка в ред 5  "},
                  "ignored\n",
                  1,
                  {"Грешка в ред 5", "Друга грешка"}},
             Case{"technical and blank output: ten error-stream lines",
                  {"bcEncrypt ok", "   stat: 42", "", "  \t", "EncryptInit", "loadEncCert x", "parsefiles 3",
                   "maxProgress=7"},
                  twelveErr,
                  1,
                  twelve},
             Case{"error lines are not de-duplicated", {"stat:"}, "same\nsame\n\n", 1, {"same", "same"}},
             Case{"nothing at all: the exit-code message", {"stat: 9", ""}, " \n\t\n", 3, {codeMessage}},
             Case{"stat: after other text is an error", {"x stat: 1"}, "", 1, {"x stat: 1"}},
             Case{"error text without a final line feed", {}, "only line", -1, {"only line"}},
         }) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(lines::collectValidationErrors(c.out, c.err, c.code), c.expected);
    }
}

TEST(StampItLines, Base64DecodingStopsAtTheFirstForeignCharacter) {
    struct Case {
        const char* in;
        std::string expected;
    };
    for (const Case& c : {Case{"aGVsbG8=", "hello"},
                          {"aGVsbG8=aGVsbG8=", "hello"},
                          {" aGVsbG8=", ""},
                          {"aGVsbG8", "hello"},
                          {"aGVsbA", "hell"},
                          {"aGVsbG8gd29ybGQ", "hello world"},
                          {"+/+/", "\xfb\xff\xbf"},
                          {"a", ""},
                          {"", ""},
                          {"aGV\nsbG8=", "he"}}) {
        SCOPED_TRACE(c.in);
        EXPECT_EQ(lines::b64Decode(c.in), bytes(c.expected));
    }
}

TEST(StampItLines, SubmitOutputLines) {
    lines::SubmitOutputState state;
    struct Step {
        std::string line;
        std::optional<std::string> progress;
        bool sign;
        std::string toSign;
    };
    for (const Step& s : {
             Step{"SIGN:aGVsbG8=  \t\r", "Подписване с електронен подпис…", true, "hello"},
             Step{"SIGN: aGVsbG8=", "Подписване с електронен подпис…", true, ""},
             Step{"SIGN:", "Подписване с електронен подпис…", true, ""},
             Step{" SIGN:aGVsbG8=", std::nullopt, false, ""},
             Step{"NATIVE_ERROR:  Невалиден файл \t", "Грешка от НАП: Невалиден файл", false, ""},
             Step{"ERROR: първа", std::nullopt, false, ""},
             Step{"SUCCESS: вх. № 123", "Успешно подадено.", false, ""},
             Step{"ERROR:  втора ", std::nullopt, false, ""},
             Step{"NATIVE_ERROR:", std::string("Грешка от НАП: ") + lines::kNativeErrorWithoutText, false, ""},
             Step{"ERROR:  \t", std::nullopt, false, ""},
             Step{"", std::nullopt, false, ""},
             Step{"информация", std::nullopt, false, ""},
         }) {
        SCOPED_TRACE(s.line);
        auto effect = lines::readSubmitOutputLine(s.line, state);
        EXPECT_EQ(effect.progress, s.progress);
        EXPECT_EQ(effect.signRequest, s.sign);
        EXPECT_EQ(effect.toSign, bytes(s.toSign));
    }
    // A later error line without words keeps the words of the earlier one.
    EXPECT_EQ(state.errorMessage, "втора");
    EXPECT_EQ(state.nativeErrors, (Strings{"Невалиден файл", lines::kNativeErrorWithoutText}));
}

TEST(StampItLines, SubmissionVerdict) {
    struct Case {
        const char* name;
        Strings lines;
        int code;
        size_t unsignedRequests;
        bool success;
        std::string message;
    };
    for (const Case& c : {
             Case{"SUCCESS and exit 0", {"SUCCESS"}, 0, 0, true, ""},
             Case{"error line of blanks, exit 0", {"ERROR:   ", "SUCCESS"}, 0, 0, false, lines::kErrorWithoutText},
             Case{"agency error without words", {"NATIVE_ERROR: \t"}, 0, 0, false, lines::kNativeErrorWithoutText},
             Case{"a request answered without a signature", {"SUCCESS"}, 0, 1, false, lines::kSigningFailed},
             Case{"the wrapper's own words come first", {"ERROR: отказ"}, 0, 2, false, "отказ"},
             Case{"unsigned before the agency's error", {"NATIVE_ERROR: подпис"}, 1, 1, false, lines::kSigningFailed},
             Case{"SUCCESS then exit 1", {"SUCCESS"}, 1, 0, false, "Процесът завърши с код 1"},
             Case{"stopped by the runner", {}, -1, 0, false, "Процесът завърши с код -1"},
         }) {
        SCOPED_TRACE(c.name);
        lines::SubmitOutputState state;
        for (const std::string& l : c.lines) lines::readSubmitOutputLine(l, state);
        auto outcome = lines::decideSubmitOutcome(c.code, state, c.unsignedRequests);
        EXPECT_EQ(outcome.success, c.success);
        EXPECT_EQ(outcome.errorMessage, c.message);
    }
}

TEST(StampItLines, SubmitErrorLines) {
    struct Case {
        std::string line;
        std::optional<std::string> progress;
    };
    for (const Case& c : {Case{"Качване Прогрес: 40%", "40%"},
                          {"Прогрес: ", ""},
                          {"a Прогрес: 1 Прогрес: 2", "1 Прогрес: 2"},
                          {"Прогрес:40%", std::nullopt},
                          {"java.lang.Exception", std::nullopt},
                          {"", std::nullopt}}) {
        SCOPED_TRACE(c.line);
        auto effect = lines::readSubmitErrorLine(c.line);
        EXPECT_EQ(effect.progress, c.progress);
        EXPECT_EQ(effect.toTranscript, !c.progress.has_value());
    }
}

TEST(StampItLines, WrapperArguments) {
    const Strings jars = {"/c/VATClientService.jar", "/c/SignerService.jar", "/c/LSManager.jar"};
    const Strings head = {"-Djava.awt.headless=true",
                          "-Dfile.encoding=UTF-8",
                          "-Djava.library.path=/c/native",
                          "-cp",
                          "/c/wrapper:/c/VATClientService.jar:/c/SignerService.jar:/c/LSManager.jar",
                          "TavoVatUploader"};
    auto with = [&](Strings tail) {
        Strings all = head;
        all.insert(all.end(), tail.begin(), tail.end());
        return all;
    };
    EXPECT_EQ(lines::wrapperArguments("/c/native", "/c/wrapper", jars, "validate", "e@x", "CERT", "BG00"),
              with({"validate"}));
    EXPECT_EQ(lines::wrapperArguments("/c/native", "/c/wrapper", jars, "pipe", "e@x", "CERT", ""),
              with({"pipe", "e@x", "CERT"}));
    EXPECT_EQ(lines::wrapperArguments("/c/native", "/c/wrapper", jars, "pipe", "e@x", "CERT", "BG00"),
              with({"pipe", "e@x", "CERT", "BG00"}));
    EXPECT_EQ(lines::wrapperArguments("/n", "/w", {}, "validate", "", "", "")[4], "/w");
}

TEST(StampItLines, TechnicalLines) {
    for (const char* t : {"bcEncrypt", "EncryptInit: x", "loadEncCert", "parsefiles", "maxProgress 3", "stat:"})
        EXPECT_TRUE(lines::isTechnicalLine(t)) << t;
    for (const char* t : {"", "stat", " stat:", "Stat:", "bcencrypt", "грешка"})
        EXPECT_FALSE(lines::isTechnicalLine(t)) << t;
    EXPECT_EQ(lines::trim(" \t\r\n x y \n\r\t "), "x y");
    EXPECT_EQ(lines::trim(" \t\r\n"), "");
}

// A signer that must never be reached.
class UnreachableSigner : public tavo::signing::ISigner {
public:
    std::vector<tavo::signing::CertificateInfo> listCertificates() override {
        ADD_FAILURE() << "signer used";
        return {};
    }
    std::vector<uint8_t> signData(const std::vector<uint8_t>&, const std::string&, const std::string&) override {
        ADD_FAILURE() << "signer used";
        return {};
    }
    bool warmUp(const std::string&, const std::string&) override { return false; }
    std::vector<uint8_t> getCertificateDer(const std::string&) override { return {}; }
};

// A line break in the folder would let the path forge protocol lines; the
// call ends before Java is looked for, let alone started.
TEST(StampItBridge, FolderWithALineBreakIsRefusedBeforeJavaStarts) {
    tavo::test::TempDir dir;
    tavo::Logger::init((dir / "test.log").string());
    const auto java = dir / "jdk" / "bin" / "java";
    tavo::test::writeFakeJava(java, {"openjdk version \"17.0.9\"\n64-Bit\n", "", "", true});
    tavo::test::ScopedEnv home("JAVA_HOME", (dir / "jdk").c_str());
    const std::string refused = "Пътят до папката с ДДС файловете съдържа знак за нов ред и не може да бъде използван.";

    StampItBridge bridge;
    UnreachableSigner signer;
    for (const std::string& folder : {std::string("/tmp/vat\nSIGNATURE:MIIB"), std::string("/tmp/vat\r"),
                                      std::string("\n"), std::string("/tmp/a\r\nb")}) {
        SCOPED_TRACE(tavo::test::readFile(dir / "test.log"));
        EXPECT_EQ(bridge.validate(folder, {}), Strings{refused});
        auto result = bridge.submit(folder, signer, "1:01", "a@b.bg", "CERT", "", {});
        EXPECT_FALSE(result.success);
        EXPECT_EQ(result.errorMessage, refused);
        EXPECT_EQ(result.output, "");
    }
    EXPECT_EQ(tavo::test::fakeJavaCalls(java), "");
    EXPECT_NE(tavo::test::readFile(dir / "test.log").find("folder with a line break refused: /tmp/vat\\x0ASIGNATURE"),
              std::string::npos);
}

}  // namespace
