#include "support/SoftHsmToken.h"

#include <cctype>
#include <cstdlib>
#include <stdexcept>

namespace tavo::test {
namespace fs = std::filesystem;

std::string SoftHsmToken::modulePath() {
    for (const char* p : {"/usr/lib/softhsm/libsofthsm2.so", "/usr/lib/x86_64-linux-gnu/softhsm/libsofthsm2.so"}) {
        if (fs::exists(p)) return p;
    }
    throw std::runtime_error("SoftHSM2 module not found");
}

SoftHsmToken::SoftHsmToken(std::string label, std::string userPin, std::string soPin)
    : dir_("tavo-softhsm"), label_(std::move(label)), userPin_(std::move(userPin)), soPin_(std::move(soPin)) {
    fs::create_directories(dir_.path() / "tokens");
    writeFile(confFile(), "directories.tokendir = " + (dir_.path() / "tokens").string() +
                              "\nobjectstore.backend = file\nlog.level = ERROR\nslots.removable = false\n");
    initToken();
}

SoftHsmToken::SoftHsmToken(const SoftHsmToken& reader, std::string label, std::string userPin, std::string soPin)
    : dir_("tavo-softhsm"), label_(std::move(label)), userPin_(std::move(userPin)), soPin_(std::move(soPin)) {
    writeFile(confFile(), readFile(reader.confFile()));
    initToken();
}

void SoftHsmToken::initToken() {
    if (const char* old = std::getenv("SOFTHSM2_CONF")) {
        hadPreviousConf_ = true;
        previousConf_ = old;
    }
    ::setenv("SOFTHSM2_CONF", confFile().c_str(), 1);
    std::string out = mustRun("softhsm2-util --init-token --free --label " + shellQuote(label_) + " --pin " +
                              shellQuote(userPin_) + " --so-pin " + shellQuote(soPin_));
    // "... is reassigned to slot 123456789"
    size_t pos = out.rfind("slot ");
    if (pos == std::string::npos) throw std::runtime_error("no slot in: " + out);
    slot_ = std::stoul(out.substr(pos + 5));
}

SoftHsmToken::~SoftHsmToken() {
    if (hadPreviousConf_)
        ::setenv("SOFTHSM2_CONF", previousConf_.c_str(), 1);
    else
        ::unsetenv("SOFTHSM2_CONF");
}

std::string SoftHsmToken::pkcs11Tool(const std::string& args, bool login) const {
    std::string cmd = "SOFTHSM2_CONF=" + shellQuote(confFile().string()) + " pkcs11-tool --module " +
                      shellQuote(modulePath()) + " --slot " + std::to_string(slot_);
    if (login) cmd += " --login --pin " + shellQuote(userPin_);
    return mustRun(cmd + " " + args);
}

SoftHsmToken::Key SoftHsmToken::addRsaKey(const std::string& idHex, const std::string& commonName,
                                          const std::string& email) {
    if (TestPki::poolAvailable())
        return importKey(idHex, TestPki::instance().issueClient(commonName, email), commonName);
    return generateRsaKey(idHex, commonName, email);
}

SoftHsmToken::Key SoftHsmToken::generateRsaKey(const std::string& idHex, const std::string& commonName,
                                               const std::string& email) {
    Key key;
    key.idHex = idHex;
    key.label = commonName;
    pkcs11Tool("--keypairgen --key-type rsa:2048 --id " + idHex + " --label " + shellQuote(commonName), true);
    fs::path pubDer = dir_.path() / ("pub-" + idHex + ".der");
    fs::path pubPem = dir_.path() / ("pub-" + idHex + ".pem");
    pkcs11Tool("--read-object --type pubkey --id " + idHex + " -o " + shellQuote(pubDer.string()));
    mustRun("openssl pkey -pubin -inform DER -in " + shellQuote(pubDer.string()) + " -out " +
            shellQuote(pubPem.string()));
    key.cert = TestPki::instance().issueForPublicKey(pubPem, commonName, email);
    addCertificate(idHex, commonName, key.cert);
    std::string upper = idHex;
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    key.certificateId = std::to_string(slot_) + ":" + upper;
    return key;
}

void SoftHsmToken::addCertificate(const std::string& idHex, const std::string& label, const IssuedCert& cert) {
    fs::path der = dir_.path() / ("cert-" + idHex + ".der");
    writeFile(der, std::string(cert.certDer.begin(), cert.certDer.end()));
    pkcs11Tool(
        "--write-object " + shellQuote(der.string()) + " --type cert --id " + idHex + " --label " + shellQuote(label),
        true);
}

SoftHsmToken::Key SoftHsmToken::importKey(const std::string& idHex, const IssuedCert& cert, const std::string& label) {
    fs::path p8 = dir_.path() / ("key-" + idHex + ".p8");
    mustRun("openssl pkcs8 -topk8 -nocrypt -in " + shellQuote(cert.keyFile.string()) + " -out " +
            shellQuote(p8.string()));
    mustRun("SOFTHSM2_CONF=" + shellQuote(confFile().string()) + " softhsm2-util --import " + shellQuote(p8.string()) +
            " --slot " + std::to_string(slot_) + " --label " + shellQuote(label) + " --id " + idHex + " --pin " +
            shellQuote(userPin_));
    addCertificate(idHex, label, cert);
    Key key;
    key.idHex = idHex;
    key.label = label;
    key.cert = cert;
    std::string upper = idHex;
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    key.certificateId = std::to_string(slot_) + ":" + upper;
    return key;
}

}  // namespace tavo::test
