#include "infrastructure/signing/SignerPkcs11.h"

#include <openssl/asn1.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <limits>
#include <map>
#include <stdexcept>
#include <string_view>

#include "common/Ascii.h"
#include "common/CPtr.h"
#include "common/Hex.h"
#include "common/Logger.h"
#include "common/Utf8.h"
#include "infrastructure/signing/CmsBuilder.h"
#include "infrastructure/signing/Cryptoki.h"

namespace tavo::signing {
namespace {

using core::common::CPtr;
using X509Ptr = CPtr<X509, X509_free>;
using BnPtr = CPtr<BIGNUM, BN_free>;
using PkeyPtr = CPtr<EVP_PKEY, EVP_PKEY_free>;

// A certificate id comes from the settings or a request: one log line each.
std::string forLog(std::string_view text) {
    return core::common::utf8::escapeForLog(text);
}

void freeOpenSslText(char* p) {
    OPENSSL_free(p);
}
using OsslText = CPtr<char, freeOpenSslText>;

constexpr CK_ULONG kCertificateBatch = 32;

std::string formatTime(const ASN1_TIME* time) {
    std::tm tm{};
    if (time == nullptr || ASN1_TIME_to_tm(time, &tm) != 1) return {};
    char buf[64];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02dZ", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                  tm.tm_hour, tm.tm_min, tm.tm_sec);
    return buf;
}

std::string oneLine(const X509_NAME* name) {
    char buf[512] = {0};
    if (name == nullptr || X509_NAME_oneline(name, buf, sizeof buf) == nullptr) return {};
    return buf;
}

void populateCertInfoFromDer(const std::vector<uint8_t>& der, CertificateInfo& info) {
    const unsigned char* p = der.data();
    if (der.empty() || der.size() > static_cast<size_t>(std::numeric_limits<long>::max())) return;
    X509Ptr cert(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
    if (!cert) return;
    info.subject = oneLine(X509_get_subject_name(cert.get()));
    info.issuer = oneLine(X509_get_issuer_name(cert.get()));
    BnPtr serial(ASN1_INTEGER_to_BN(X509_get0_serialNumber(cert.get()), nullptr));
    if (serial) {
        OsslText hex(BN_bn2hex(serial.get()));
        if (hex) info.serial = hex.get();
    }
    info.notBefore = formatTime(X509_get0_notBefore(cert.get()));
    info.notAfter = formatTime(X509_get0_notAfter(cert.get()));
}

std::string tokenLabel(const CK_TOKEN_INFO& info) {
    std::string label(reinterpret_cast<const char*>(info.label), sizeof info.label);
    while (!label.empty() && (label.back() == ' ' || label.back() == '\0')) label.pop_back();
    return label;
}

// Certificates or keys read under one CKA_ID: a card holds one or two; more
// than this is not a card worth choosing from.
constexpr size_t kMaxObjectsPerId = 16;

// Every object of a class under a CKA_ID, up to kMaxObjectsPerId.
std::vector<CK_OBJECT_HANDLE> findAll(const Cryptoki& p11, CK_SESSION_HANDLE session, CK_OBJECT_CLASS cls,
                                      const std::vector<uint8_t>& id) {
    std::vector<uint8_t> idCopy = id;
    CK_ATTRIBUTE tmpl[] = {{CKA_CLASS, &cls, sizeof cls},
                           {CKA_ID, idCopy.data(), static_cast<CK_ULONG>(idCopy.size())}};
    return p11.findObjects(session, tmpl, 2, kMaxObjectsPerId, kMaxObjectsPerId);
}

PkeyPtr publicKeyOf(const std::vector<uint8_t>& der) {
    const unsigned char* p = der.data();
    if (der.empty() || der.size() > static_cast<size_t>(std::numeric_limits<long>::max())) return nullptr;
    X509Ptr cert(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
    if (!cert) return nullptr;
    return PkeyPtr(X509_get_pubkey(cert.get()));
}

enum class Belongs { Yes, No, Unknown };

// Whether the private key on the token is the one of the certificate: for
// RSA the modulus and public exponent, which a card shows on its private
// key; for other kinds the key family (the signer signs with RSA only).
Belongs keyBelongsTo(const Cryptoki& p11, CK_SESSION_HANDLE session, CK_OBJECT_HANDLE key, const EVP_PKEY* certKey) {
    auto type = p11.attributes(session, key, {CKA_KEY_TYPE});
    if (!type || (*type)[0].size() != sizeof(CK_KEY_TYPE)) return Belongs::Unknown;
    CK_KEY_TYPE keyType = 0;
    std::memcpy(&keyType, (*type)[0].data(), sizeof keyType);
    if (keyType == CKK_EC) return EVP_PKEY_get_base_id(certKey) == EVP_PKEY_EC ? Belongs::Yes : Belongs::No;
    if (keyType != CKK_RSA || EVP_PKEY_get_base_id(certKey) != EVP_PKEY_RSA) return Belongs::No;
    auto values = p11.attributes(session, key, {CKA_MODULUS, CKA_PUBLIC_EXPONENT});
    if (!values || (*values)[0].empty() || (*values)[1].empty()) return Belongs::Unknown;
    BIGNUM* n = nullptr;
    BIGNUM* e = nullptr;
    bool ok = EVP_PKEY_get_bn_param(certKey, OSSL_PKEY_PARAM_RSA_N, &n) == 1 &&
              EVP_PKEY_get_bn_param(certKey, OSSL_PKEY_PARAM_RSA_E, &e) == 1;
    BnPtr certN(n), certE(e);
    if (!ok) return Belongs::Unknown;
    BnPtr keyN(BN_bin2bn((*values)[0].data(), static_cast<int>((*values)[0].size()), nullptr));
    BnPtr keyE(BN_bin2bn((*values)[1].data(), static_cast<int>((*values)[1].size()), nullptr));
    if (!keyN || !keyE) return Belongs::Unknown;
    return BN_cmp(keyN.get(), certN.get()) == 0 && BN_cmp(keyE.get(), certE.get()) == 0 ? Belongs::Yes : Belongs::No;
}

enum class PairResult { One, NoCertificate, NoKey, NoMatch, Several };

// The certificate under the id together with the private key that belongs
// to it. A CA certificate stored beside the user's has no key and drops
// out; two certificates with their own keys under one id are refused, since
// the signature would name whichever came first. A lone certificate and key
// whose match cannot be read (a card that hides the modulus) stay a pair.
PairResult findPair(const Cryptoki& p11, CK_SESSION_HANDLE session, const std::vector<uint8_t>& id,
                    std::vector<uint8_t>& certDer, CK_OBJECT_HANDLE& keyOut) {
    auto certs = findAll(p11, session, CKO_CERTIFICATE, id);
    if (certs.empty()) return PairResult::NoCertificate;
    auto keys = findAll(p11, session, CKO_PRIVATE_KEY, id);
    if (keys.empty()) return PairResult::NoKey;
    const bool lonePair = certs.size() == 1 && keys.size() == 1;
    size_t matches = 0;
    for (CK_OBJECT_HANDLE cert : certs) {
        auto value = p11.attributes(session, cert, {CKA_VALUE});
        if (!value) continue;
        PkeyPtr certKey = publicKeyOf((*value)[0]);
        if (!certKey) continue;
        for (CK_OBJECT_HANDLE key : keys) {
            Belongs belongs = keyBelongsTo(p11, session, key, certKey.get());
            if (belongs == Belongs::No || (belongs == Belongs::Unknown && !lonePair)) continue;
            if (++matches == 1) {
                certDer = (*value)[0];
                keyOut = key;
            }
        }
    }
    if (matches == 1) return PairResult::One;
    return matches == 0 ? PairResult::NoMatch : PairResult::Several;
}

// Answers by which a module says that a session, or the token behind it,
// is gone: a kept session that gives one is opened again.
bool reportsDead(CK_RV rv) {
    return rv == CKR_SESSION_HANDLE_INVALID || rv == CKR_SESSION_CLOSED || rv == CKR_DEVICE_REMOVED ||
           rv == CKR_TOKEN_NOT_PRESENT || rv == CKR_USER_NOT_LOGGED_IN;
}

using PinDigest = std::array<unsigned char, 32>;

// The kept session remembers which PIN opened it by digest only.
PinDigest digestOf(const std::string& pin) {
    PinDigest d{};
    unsigned int length = 0;
    EVP_Digest(pin.data(), pin.size(), d.data(), &length, EVP_sha256(), nullptr);
    return d;
}

void warnOpen(CK_RV rv) {
    Logger::warn("SignerPkcs11: C_OpenSession returned " + std::to_string(rv));
}

}  // namespace

std::string CertId::text() const {
    return std::to_string(slot) + ":" + core::common::hex::encode(id);
}

CertId CertId::parse(const std::string& text) {
    CertId result;
    size_t colon = text.find(':');
    if (colon == std::string::npos) return result;
    try {
        result.slot = std::stoul(text.substr(0, colon));
    } catch (const std::exception&) {
        result.slot = 0;
        return result;
    }
    const std::string hex = text.substr(colon + 1);
    if (hex.size() < 2) return result;
    std::vector<uint8_t> bytes;
    bytes.reserve(hex.size() / 2);
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
        int hi = core::common::ascii::hexValue(hex[i]);
        int lo = core::common::ascii::hexValue(hex[i + 1]);
        if (hi < 0 || lo < 0) return result;
        bytes.push_back(static_cast<uint8_t>((hi << 4) | lo));
    }
    result.id = std::move(bytes);
    return result;
}

struct SignerPkcs11::Impl {
    std::string modulePath;
    Cryptoki p11;
    // Logged-in sessions of warmUp, one per slot, closed before the module
    // is released: the token logs out with its last session.
    struct Kept {
        Session session;
        PinDigest pin;
    };
    std::map<CK_SLOT_ID, Kept> warmSessions;

    bool loadModule() { return p11.load(modulePath); }

    // A kept session the module reports dead (card pulled and put back,
    // logged out underneath) is closed; the next login opens another.
    void dropIfDead(CK_SLOT_ID slot) {
        auto kept = warmSessions.find(slot);
        if (kept == warmSessions.end()) return;
        CK_SESSION_INFO info{};
        CK_RV rv = p11.sessionInfo(kept->second.session.handle(), info);
        bool loggedIn = info.state == CKS_RO_USER_FUNCTIONS || info.state == CKS_RW_USER_FUNCTIONS;
        if (rv == CKR_OK ? loggedIn : !reportsDead(rv)) return;
        Logger::info("SignerPkcs11: kept session of slot " + std::to_string(slot) + " is gone (" +
                     (rv == CKR_OK ? std::string("logged out") : std::to_string(rv)) + "); a new one will be opened");
        warmSessions.erase(kept);
    }

    // C_Login with the PIN, checked against the card even when the token is
    // logged in already: a kept session, or another user of the module in
    // this process, makes the card answer "already logged in" to any PIN.
    // A refused PIN is never tried again.
    CK_RV logIn(CK_SLOT_ID slot, CK_SESSION_HANDLE session, const std::string& pin) {
        dropIfDead(slot);
        const PinDigest digest = digestOf(pin);
        auto kept = warmSessions.find(slot);
        if (kept != warmSessions.end() && kept->second.pin == digest) return CKR_OK;
        CK_RV rv = p11.login(session, pin);
        bool loggedOut = false;
        if (rv == CKR_USER_ALREADY_LOGGED_IN) {
            p11.logout(session);
            loggedOut = true;
            rv = p11.login(session, pin);
            // The module insists: nothing more can be learnt from it.
            if (rv == CKR_USER_ALREADY_LOGGED_IN) rv = CKR_OK;
        }
        if (kept != warmSessions.end()) {
            if (rv == CKR_OK)
                kept->second.pin = digest;
            else if (loggedOut)
                warmSessions.erase(kept);  // its login went with the logout
        }
        return rv;
    }
};

SignerPkcs11::SignerPkcs11(const std::string& modulePath) : impl_(std::make_unique<Impl>()) {
    impl_->modulePath = modulePath;
    impl_->loadModule();
}

SignerPkcs11::~SignerPkcs11() = default;

std::vector<CertificateInfo> SignerPkcs11::listCertificates() {
    std::vector<CertificateInfo> out;
    const Cryptoki& p11 = impl_->p11;
    if (!p11.ready()) return out;
    try {
        auto slots = p11.slotList();
        if (!slots) return out;
        for (CK_SLOT_ID slot : *slots) {
            CK_TOKEN_INFO tokenInfo{};
            std::string label;
            if (p11.tokenInfo(slot, tokenInfo) == CKR_OK) label = tokenLabel(tokenInfo);
            Session session(p11, slot);
            if (!session.ok()) {
                warnOpen(session.openResult());
                continue;
            }
            CK_OBJECT_CLASS cls = CKO_CERTIFICATE;
            CK_ATTRIBUTE tmpl[] = {{CKA_CLASS, &cls, sizeof cls}};
            auto handles =
                p11.findObjects(session.handle(), tmpl, 1, kCertificateBatch, std::numeric_limits<size_t>::max());
            for (CK_OBJECT_HANDLE object : handles) {
                auto values = p11.attributes(session.handle(), object, {CKA_ID, CKA_VALUE});
                if (!values) continue;
                CertificateInfo info;
                CertId id;
                id.slot = slot;
                id.id = (*values)[0];
                info.id = id.text();
                info.isHardware = true;
                info.source = label.empty() ? "PKCS#11" : label;
                populateCertInfoFromDer((*values)[1], info);
                out.push_back(std::move(info));
            }
        }
    } catch (const std::exception& e) {
        // A token's answer that cannot be held ends the listing, not the caller.
        Logger::warn(std::string("SignerPkcs11: listing stopped: ") + e.what());
    }
    return out;
}

std::vector<uint8_t> SignerPkcs11::getCertificateDer(const std::string& certificateId) {
    const Cryptoki& p11 = impl_->p11;
    if (!p11.ready()) return {};
    CertId id = CertId::parse(certificateId);
    if (!id.valid()) return {};
    Session session(p11, id.slot);
    if (!session.ok()) {
        warnOpen(session.openResult());
        return {};
    }
    auto certs = findAll(p11, session.handle(), CKO_CERTIFICATE, id.id);
    if (certs.size() == 1) {
        auto values = p11.attributes(session.handle(), certs.front(), {CKA_VALUE});
        return values ? (*values)[0] : std::vector<uint8_t>{};
    }
    if (certs.empty()) return {};
    // Several: the one whose key is on the card (visible once logged in),
    // the same certificate a signature would carry.
    std::vector<uint8_t> der;
    CK_OBJECT_HANDLE key = CK_INVALID_HANDLE;
    if (findPair(p11, session.handle(), id.id, der, key) == PairResult::One) return der;
    Logger::warn("SignerPkcs11: more than one certificate under " + forLog(id.text()) + " on token");
    return {};
}

bool SignerPkcs11::warmUp(const std::string& certificateId, const std::string& pin) {
    const Cryptoki& p11 = impl_->p11;
    if (!p11.ready()) return false;
    CertId id = CertId::parse(certificateId);
    if (!id.valid()) {
        Logger::warn("SignerPkcs11: invalid certificateId: " + forLog(certificateId));
        return false;
    }
    impl_->dropIfDead(id.slot);
    Session session(p11, id.slot);
    if (!session.ok()) {
        warnOpen(session.openResult());
        return false;
    }
    if (pin.empty()) return true;
    CK_RV rv = impl_->logIn(id.slot, session.handle(), pin);
    if (rv == CKR_OK) {
        // Kept open so that later signing with an empty PIN finds the token
        // logged in; one such session per slot is enough.
        if (impl_->warmSessions.count(id.slot) == 0)
            impl_->warmSessions.emplace(id.slot, Impl::Kept{std::move(session), digestOf(pin)});
        return true;
    }
    if (rv == CKR_PIN_INCORRECT || rv == CKR_PIN_LOCKED) throw InvalidPinException();
    if (rv == kCkrLoginCancelled) throw SigningCancelledException();
    Logger::warn("SignerPkcs11: C_Login returned " + std::to_string(rv));
    return false;
}

namespace {

// The certificate under the id and the one private key that belongs to it;
// anything else is logged and refused.
bool findOnePair(const Cryptoki& p11, CK_SESSION_HANDLE session, const CertId& id, std::vector<uint8_t>& certDer,
                 CK_OBJECT_HANDLE& key) {
    switch (findPair(p11, session, id.id, certDer, key)) {
        case PairResult::One:
            return !certDer.empty();
        case PairResult::NoCertificate:
            Logger::warn("SignerPkcs11: certificate not found on token");
            return false;
        case PairResult::NoKey:
            Logger::warn("SignerPkcs11: private key not found on token");
            return false;
        case PairResult::NoMatch:
            Logger::warn("SignerPkcs11: no private key on token belongs to the certificate under " + forLog(id.text()));
            return false;
        case PairResult::Several:
            Logger::warn("SignerPkcs11: more than one certificate with its key under " + forLog(id.text()) +
                         " on token; refusing to choose");
            return false;
    }
    return false;
}

}  // namespace

std::vector<uint8_t> SignerPkcs11::signData(const std::vector<uint8_t>& data, const std::string& certificateId,
                                            const std::string& pin) {
    const Cryptoki& p11 = impl_->p11;
    if (!p11.ready()) return {};
    CertId id = CertId::parse(certificateId);
    if (!id.valid()) return {};
    try {
        impl_->dropIfDead(id.slot);
        // One session for search and signing: the key handle is valid only
        // while the session that found it is open.
        Session session(p11, id.slot);
        if (!session.ok()) {
            warnOpen(session.openResult());
            return {};
        }
        if (!pin.empty()) {
            CK_RV rv = impl_->logIn(id.slot, session.handle(), pin);
            if (rv == kCkrLoginCancelled) throw SigningCancelledException();
            if (rv == CKR_PIN_INCORRECT) throw InvalidPinException();
            if (rv != CKR_OK) {
                Logger::warn("SignerPkcs11: C_Login returned " + std::to_string(rv));
                return {};
            }
        }
        std::vector<uint8_t> certDer;
        CK_OBJECT_HANDLE key = CK_INVALID_HANDLE;
        if (!findOnePair(p11, session.handle(), id, certDer, key)) return {};
        CK_SESSION_HANDLE handle = session.handle();
        auto rawSign = [&p11, handle, key](const std::vector<uint8_t>& digestInfo) -> std::vector<uint8_t> {
            try {
                return p11.signRsaPkcs(handle, key, digestInfo);
            } catch (...) {
                return {};
            }
        };
        return CmsBuilder::buildDetached(data, certDer, rawSign, true);
    } catch (const InvalidPinException&) {
        throw;
    } catch (const SigningCancelledException&) {
        throw;
    } catch (const std::exception& e) {
        Logger::error(std::string("SignerPkcs11: signing stopped: ") + e.what());
        return {};
    }
}

}  // namespace tavo::signing
