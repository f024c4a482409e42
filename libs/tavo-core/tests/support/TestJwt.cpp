#include "support/TestJwt.h"

#include "common/Base64.h"
#include "support/TempDir.h"
#include "support/TestPki.h"

namespace tavo::test {

std::string base64Url(const std::string& bytes, bool padded) {
    std::string text = core::common::base64::encode(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
    for (char& c : text) {
        if (c == '+')
            c = '-';
        else if (c == '/')
            c = '_';
    }
    if (!padded) {
        while (!text.empty() && text.back() == '=') text.pop_back();
    }
    return text;
}

std::string opensslSignSha256(const std::filesystem::path& keyFile, const std::string& text) {
    TempDir dir("tavo-jwt");
    writeFile(dir / "input", text);
    mustRun("openssl dgst -sha256 -sign " + shellQuote(keyFile.string()) + " -out " +
            shellQuote((dir / "sig").string()) + " " + shellQuote((dir / "input").string()));
    return readFile(dir / "sig");
}

std::string makeSignedToken(const std::string& headerJson, const std::string& payloadJson,
                            const std::filesystem::path& keyFile) {
    std::string input = base64Url(headerJson) + "." + base64Url(payloadJson);
    return input + "." + base64Url(opensslSignSha256(keyFile, input));
}

std::string opensslPublicKeyPem(const std::filesystem::path& keyFile) {
    return mustRun("openssl pkey -pubout -in " + shellQuote(keyFile.string()) + " 2>/dev/null");
}

}  // namespace tavo::test
