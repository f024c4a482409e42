#include "support/FakeJava.h"

#include <sys/stat.h>

#include <system_error>

#include "support/TempDir.h"

namespace tavo::test {

namespace fs = std::filesystem;

void writeFakeJava(const fs::path& file, const FakeJavaSpec& spec, const FakeJavaBehaviour& behaviour) {
    fs::create_directories(file.parent_path());
    std::string base = file.string();
    writeFile(base + ".version", spec.versionStderr);
    writeFile(base + ".props-err", spec.propertiesStderr);
    writeFile(base + ".props-out", spec.propertiesStdout);
    // Absolute tools: the cases give the script PATHs of their own. Paths are
    // quoted for the shell; the tests' temporary folders hold no quote.
    std::string script =
        "#!/bin/sh\n"
        "me='" +
        base +
        "'\n"
        "echo \"$*\" >> \"$me.calls\"\n" +
        behaviour.before +
        "\n"
        "if [ \"$1\" = \"-XshowSettings:properties\" ]; then\n"
        "  /bin/cat \"$me.props-out\"\n"
        "  /bin/cat \"$me.props-err\" >&2\n"
        "fi\n"
        "/bin/cat \"$me.version\" >&2\n" +
        behaviour.after + "\n";
    writeFile(file, script);
    fs::permissions(file, spec.ownerExecutable ? fs::perms(0755) : fs::perms(0644));
}

std::string fakeJavaCalls(const fs::path& file) {
    return readFile(file.string() + ".calls");
}

std::string installedJdk17Java() {
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator("/usr/lib/jvm", ec)) {
        std::string name = entry.path().filename().string();
        if (name.rfind("java-17-openjdk-", 0) != 0) continue;
        fs::path java = entry.path() / "bin" / "java";
        if (fs::is_regular_file(java, ec)) return java.string();
    }
    return {};
}

}  // namespace tavo::test
