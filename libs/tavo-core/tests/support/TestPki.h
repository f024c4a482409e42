#pragma once

#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

namespace tavo::test {

// A certificate with its key, as files and texts.
struct IssuedCert {
    std::filesystem::path keyFile;   // PEM private key (empty for token keys)
    std::filesystem::path certFile;  // PEM certificate
    std::string certPem;
    std::vector<unsigned char> certDer;
    std::string subject;  // one-line form as OpenSSL prints it ("CN=..., emailAddress=...")
};

// A throwaway certificate authority for the whole test process: server
// certificates for the production host names and 127.0.0.1, client
// certificates with clientAuth and emailProtection. Made with the openssl
// command line in a temporary folder on first use.
class TestPki {
public:
    static TestPki& instance();

    const std::filesystem::path& dir() const { return dir_; }
    const std::filesystem::path& caCertFile() const { return caCert_; }
    const std::filesystem::path& caKeyFile() const { return caKey_; }

    // Server certificate for every production host, localhost and 127.0.0.1.
    const IssuedCert& server();
    // A server certificate from the test CA for one other host only (a host
    // outside the agency's, trusted like the agency's own).
    IssuedCert serverFor(const std::string& host);
    // The same names, issued by a second CA that no test trusts.
    const IssuedCert& untrustedServer();
    // A client certificate with a software key (RSA 2048).
    IssuedCert issueClient(const std::string& commonName, const std::string& email = "");
    // A client certificate for a public key already made elsewhere (a token's).
    IssuedCert issueForPublicKey(const std::filesystem::path& publicKeyPem, const std::string& commonName,
                                 const std::string& email = "");
    // A certificate over an EC P-256 key (for "wrong key type" cases).
    IssuedCert issueEcClient(const std::string& commonName);

    // RSA keys are taken from the run's key pool (made once by the CTest
    // fixture, each key used at most once per process) and generated only
    // when the pool is missing or used up: key generation was most of the
    // suite's time.
    static bool poolAvailable();

private:
    TestPki();
    std::filesystem::path fresh(const std::string& stem);
    void makeCa(const std::filesystem::path& dir, const std::string& name);
    IssuedCert finish(const std::filesystem::path& keyFile, const std::filesystem::path& certFile);

    std::mutex mutex_;
    std::filesystem::path dir_;
    std::filesystem::path caCert_, caKey_;
    int counter_ = 0;
    bool haveServer_ = false, haveUntrusted_ = false;
    IssuedCert server_, untrusted_;
};

// Runs a command and throws with its output when it fails (rig set-up only).
std::string mustRun(const std::string& command);

// Single-quoted for /bin/sh.
std::string shellQuote(const std::string& text);

}  // namespace tavo::test
