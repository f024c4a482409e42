#include "support/TestPki.h"

#include <atomic>
#include <optional>
#include <stdexcept>

#include "infrastructure/http/NapEndpoints.h"
#include "support/TempDir.h"

namespace tavo::test {
namespace fs = std::filesystem;

std::string shellQuote(const std::string& text) {
    std::string out = "'";
    for (char c : text) {
        if (c == '\'')
            out += "'\\''";
        else
            out += c;
    }
    return out + "'";
}

std::string mustRun(const std::string& command) {
    std::string output;
    int rc = runCommand(command, &output, true);
    if (rc != 0) throw std::runtime_error("command failed (" + std::to_string(rc) + "): " + command + "\n" + output);
    return output;
}

TestPki& TestPki::instance() {
    static TestPki pki;
    return pki;
}

TestPki::TestPki() {
    static TempDir holder("tavo-pki");
    dir_ = holder.path();
    makeCa(dir_, "Tavo Test CA");
    caCert_ = dir_ / "ca.pem";
    caKey_ = dir_ / "ca.key";
}

namespace {

fs::path poolDir() {
    return fs::path(TAVO_TEST_BINARY_DIR) / "key-pool";
}

// The next unused key of the pool, or nothing.
std::optional<fs::path> takePooledKey() {
    static std::atomic<int> next{0};
    fs::path key = poolDir() / ("rsa-" + std::to_string(++next) + ".key");
    std::error_code ec;
    if (!fs::is_regular_file(key, ec)) return std::nullopt;
    return key;
}

void makeRsaKey(const fs::path& key, const fs::path& pub) {
    if (auto pooled = takePooledKey())
        fs::copy_file(*pooled, key, fs::copy_options::overwrite_existing);
    else
        mustRun("openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out " + shellQuote(key.string()));
    mustRun("openssl pkey -in " + shellQuote(key.string()) + " -pubout -out " + shellQuote(pub.string()));
}

}  // namespace

bool TestPki::poolAvailable() {
    std::error_code ec;
    return fs::is_regular_file(poolDir() / "rsa-1.key", ec);
}

void TestPki::makeCa(const fs::path& dir, const std::string& name) {
    makeRsaKey(dir / "ca.key", dir / "ca.pub");
    mustRun("openssl req -x509 -new -key " + shellQuote((dir / "ca.key").string()) + " -out " +
            shellQuote((dir / "ca.pem").string()) + " -days 3650 -subj " + shellQuote("/CN=" + name) +
            " -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign");
}

fs::path TestPki::fresh(const std::string& stem) {
    return dir_ / (stem + "-" + std::to_string(++counter_));
}

IssuedCert TestPki::finish(const fs::path& keyFile, const fs::path& certFile) {
    IssuedCert c;
    c.keyFile = keyFile;
    c.certFile = certFile;
    c.certPem = readFile(certFile);
    fs::path der = certFile;
    der.replace_extension(".der");
    mustRun("openssl x509 -in " + shellQuote(certFile.string()) + " -outform DER -out " + shellQuote(der.string()));
    std::string bytes = readFile(der);
    c.certDer.assign(bytes.begin(), bytes.end());
    std::string subject =
        mustRun("openssl x509 -noout -subject -nameopt utf8,sep_comma_plus_space -in " + shellQuote(certFile.string()));
    if (subject.rfind("subject=", 0) == 0) subject = subject.substr(8);
    while (!subject.empty() && (subject.back() == '\n' || subject.back() == '\r')) subject.pop_back();
    c.subject = subject;
    return c;
}

namespace {
std::string serverNames() {
    std::string san = "subjectAltName=DNS:localhost,IP:127.0.0.1";
    for (const char* host : tavo::core::infra::nap::kAllHosts) san += std::string(",DNS:") + host;
    return san;
}

void signWith(const fs::path& caDir, const fs::path& pubKey, const std::string& subj, const std::string& ext,
              const fs::path& certOut) {
    fs::path extFile = certOut;
    extFile.replace_extension(".ext");
    writeFile(extFile, ext);
    mustRun("openssl x509 -new -subj " + shellQuote(subj) + " -force_pubkey " + shellQuote(pubKey.string()) + " -CA " +
            shellQuote((caDir / "ca.pem").string()) + " -CAkey " + shellQuote((caDir / "ca.key").string()) +
            " -days 3650 -extfile " + shellQuote(extFile.string()) + " -out " + shellQuote(certOut.string()));
}

const char* kServerExt =
    "basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature,keyEncipherment\n"
    "extendedKeyUsage=serverAuth\n";
const char* kClientExt =
    "basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature,nonRepudiation,"
    "keyEncipherment\nextendedKeyUsage=clientAuth,emailProtection\n";

std::string clientSubject(const std::string& cn, const std::string& email) {
    std::string subj = "/CN=" + cn;
    if (!email.empty()) subj += "/emailAddress=" + email;
    return subj;
}
}  // namespace

const IssuedCert& TestPki::server() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!haveServer_) {
        fs::path base = fresh("server");
        makeRsaKey(base.string() + ".key", base.string() + ".pub");
        signWith(dir_, base.string() + ".pub", "/CN=portal.nra.bg", std::string(kServerExt) + serverNames() + "\n",
                 base.string() + ".pem");
        server_ = finish(base.string() + ".key", base.string() + ".pem");
        haveServer_ = true;
    }
    return server_;
}

const IssuedCert& TestPki::untrustedServer() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!haveUntrusted_) {
        fs::path otherCa = dir_ / "other-ca";
        fs::create_directories(otherCa);
        makeCa(otherCa, "Untrusted Test CA");
        fs::path base = fresh("untrusted");
        makeRsaKey(base.string() + ".key", base.string() + ".pub");
        signWith(otherCa, base.string() + ".pub", "/CN=portal.nra.bg", std::string(kServerExt) + serverNames() + "\n",
                 base.string() + ".pem");
        untrusted_ = finish(base.string() + ".key", base.string() + ".pem");
        haveUntrusted_ = true;
    }
    return untrusted_;
}

IssuedCert TestPki::serverFor(const std::string& host) {
    std::lock_guard<std::mutex> lock(mutex_);
    fs::path base = fresh("host");
    makeRsaKey(base.string() + ".key", base.string() + ".pub");
    signWith(dir_, base.string() + ".pub", "/CN=" + host, std::string(kServerExt) + "subjectAltName=DNS:" + host + "\n",
             base.string() + ".pem");
    return finish(base.string() + ".key", base.string() + ".pem");
}

IssuedCert TestPki::issueClient(const std::string& commonName, const std::string& email) {
    std::lock_guard<std::mutex> lock(mutex_);
    fs::path base = fresh("client");
    makeRsaKey(base.string() + ".key", base.string() + ".pub");
    signWith(dir_, base.string() + ".pub", clientSubject(commonName, email), kClientExt, base.string() + ".pem");
    return finish(base.string() + ".key", base.string() + ".pem");
}

IssuedCert TestPki::issueForPublicKey(const fs::path& publicKeyPem, const std::string& commonName,
                                      const std::string& email) {
    std::lock_guard<std::mutex> lock(mutex_);
    fs::path base = fresh("token");
    signWith(dir_, publicKeyPem, clientSubject(commonName, email), kClientExt, base.string() + ".pem");
    return finish(fs::path(), base.string() + ".pem");
}

IssuedCert TestPki::issueEcClient(const std::string& commonName) {
    std::lock_guard<std::mutex> lock(mutex_);
    fs::path base = fresh("ec");
    mustRun("openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out " +
            shellQuote(base.string() + ".key"));
    mustRun("openssl pkey -in " + shellQuote(base.string() + ".key") + " -pubout -out " +
            shellQuote(base.string() + ".pub"));
    signWith(dir_, base.string() + ".pub", clientSubject(commonName, ""), kClientExt, base.string() + ".pem");
    return finish(base.string() + ".key", base.string() + ".pem");
}

}  // namespace tavo::test
