#include "support/CmsCheck.h"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>

#include <cstdio>
#include <memory>
#include <sstream>
#include <stdexcept>

#include "support/TempDir.h"
#include "support/TestPki.h"

namespace tavo::test {
namespace {

std::string bytesOf(const std::vector<uint8_t>& v) {
    return std::string(v.begin(), v.end());
}

}  // namespace

CmsVerdict verifyDetachedCms(const std::vector<uint8_t>& signature, const std::vector<uint8_t>& data) {
    TempDir dir("tavo-cms");
    writeFile(dir / "sig.der", bytesOf(signature));
    writeFile(dir / "data.bin", bytesOf(data));
    CmsVerdict verdict;
    int rc = runCommand("openssl cms -verify -cades -binary -inform DER -in " + shellQuote((dir / "sig.der").string()) +
                            " -content " + shellQuote((dir / "data.bin").string()) + " -CAfile " +
                            shellQuote(TestPki::instance().caCertFile().string()) + " -out /dev/null",
                        &verdict.output);
    verdict.verified = rc == 0;
    return verdict;
}

std::string printCms(const std::vector<uint8_t>& signature) {
    TempDir dir("tavo-cms");
    writeFile(dir / "sig.der", bytesOf(signature));
    std::string out;
    runCommand("openssl cms -cmsout -print -inform DER -in " + shellQuote((dir / "sig.der").string()), &out, false);
    return out;
}

std::vector<std::string> signedAttributeNames(const std::vector<uint8_t>& signature) {
    std::istringstream in(printCms(signature));
    std::vector<std::string> names;
    std::string line;
    bool inside = false;
    while (std::getline(in, line)) {
        if (line.find("signedAttrs:") != std::string::npos) {
            inside = true;
            continue;
        }
        if (!inside) continue;
        if (line.find("signatureAlgorithm:") != std::string::npos) break;
        auto pos = line.find("object: ");
        if (pos == std::string::npos) continue;
        std::string name = line.substr(pos + 8);
        auto paren = name.find(" (");
        names.push_back(name.substr(0, paren));
    }
    return names;
}

std::function<std::vector<uint8_t>(const std::vector<uint8_t>&)> softwareRawSign(const std::filesystem::path& keyFile) {
    FILE* f = std::fopen(keyFile.c_str(), "rb");
    if (f == nullptr) throw std::runtime_error("cannot open " + keyFile.string());
    EVP_PKEY* raw = PEM_read_PrivateKey(f, nullptr, nullptr, nullptr);
    std::fclose(f);
    if (raw == nullptr) throw std::runtime_error("cannot read key " + keyFile.string());
    std::shared_ptr<EVP_PKEY> key(raw, EVP_PKEY_free);
    return [key](const std::vector<uint8_t>& digestInfo) -> std::vector<uint8_t> {
        std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)> ctx(EVP_PKEY_CTX_new(key.get(), nullptr),
                                                                        EVP_PKEY_CTX_free);
        if (!ctx || EVP_PKEY_sign_init(ctx.get()) != 1 ||
            EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) != 1)
            return {};
        size_t len = 0;
        if (EVP_PKEY_sign(ctx.get(), nullptr, &len, digestInfo.data(), digestInfo.size()) != 1) return {};
        std::vector<uint8_t> out(len);
        if (EVP_PKEY_sign(ctx.get(), out.data(), &len, digestInfo.data(), digestInfo.size()) != 1) return {};
        out.resize(len);
        return out;
    };
}

}  // namespace tavo::test
