#pragma once

#include <filesystem>
#include <string>

#include "support/TempDir.h"
#include "support/TestPki.h"

namespace tavo::test {

// A throwaway SoftHSM2 token: its own SOFTHSM2_CONF (set in this process's
// environment, so create the token before anything loads the module) and
// token folder, removed with the object. SoftHSM assigns a random slot id:
// it is read back, never assumed.
class SoftHsmToken {
public:
    struct Key {
        std::string idHex;          // CKA_ID as given (upper-case hex)
        std::string label;          // CKA_LABEL of key and certificate
        IssuedCert cert;            // issued by the test CA for the token's public key
        std::string certificateId;  // "<slot>:<CKA_ID hex>", the signer's id form
    };

    explicit SoftHsmToken(std::string label = "TavoTestCard", std::string userPin = "1234",
                          std::string soPin = "87654321");
    // Another card beside reader's: its token joins reader's token folder (one
    // SOFTHSM2_CONF serves both) in a slot of its own. Create it after reader
    // and let it go first.
    SoftHsmToken(const SoftHsmToken& reader, std::string label, std::string userPin, std::string soPin = "87654321");
    ~SoftHsmToken();
    SoftHsmToken(const SoftHsmToken&) = delete;
    SoftHsmToken& operator=(const SoftHsmToken&) = delete;

    static std::string modulePath();

    unsigned long slotId() const { return slot_; }
    const std::string& label() const { return label_; }
    const std::string& userPin() const { return userPin_; }
    std::filesystem::path confFile() const { return dir_ / "softhsm2.conf"; }

    // An RSA 2048 key pair on the token, with a certificate from the test CA
    // stored beside it under the same CKA_ID. The key comes from the run's key
    // pool when there is one (imported), else it is generated on the token.
    Key addRsaKey(const std::string& idHex, const std::string& commonName, const std::string& email = "");
    // The same, always generated on the token itself.
    Key generateRsaKey(const std::string& idHex, const std::string& commonName, const std::string& email = "");
    // A certificate object only (no key), under the given id.
    void addCertificate(const std::string& idHex, const std::string& label, const IssuedCert& cert);
    // A software key imported to the token (PKCS#8), with its certificate.
    Key importKey(const std::string& idHex, const IssuedCert& cert, const std::string& label);

    // pkcs11-tool against this token's module and slot, logged in when asked.
    std::string pkcs11Tool(const std::string& args, bool login = false) const;

private:
    void initToken();

    TempDir dir_;
    std::string label_, userPin_, soPin_;
    unsigned long slot_ = 0;
    std::string previousConf_;
    bool hadPreviousConf_ = false;
};

}  // namespace tavo::test
