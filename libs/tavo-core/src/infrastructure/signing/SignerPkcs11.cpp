#include "infrastructure/signing/SignerPkcs11.h"

#include <openssl/asn1.h>
#include <openssl/bn.h>
#include <openssl/crypto.h>
#include <openssl/x509.h>

#include <cstdio>
#include <ctime>
#include <limits>
#include <map>
#include <stdexcept>

#include "common/CPtr.h"
#include "common/Logger.h"
#include "infrastructure/signing/CmsBuilder.h"
#include "infrastructure/signing/Cryptoki.h"

namespace tavo::signing {
namespace {

using core::common::CPtr;
using X509Ptr = CPtr<X509, X509_free>;
using BnPtr = CPtr<BIGNUM, BN_free>;

void freeOpenSslText(char* p) {
    OPENSSL_free(p);
}
using OsslText = CPtr<char, freeOpenSslText>;

constexpr CK_ULONG kCertificateBatch = 32;

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

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

// CKR_USER_ALREADY_LOGGED_IN is as good as a login.
CK_RV loginResult(const Cryptoki& p11, CK_SESSION_HANDLE session, const std::string& pin) {
    CK_RV rv = p11.login(session, pin);
    return rv == CKR_USER_ALREADY_LOGGED_IN ? CKR_OK : rv;
}

// The one object of a class under a CKA_ID; CK_INVALID_HANDLE unless exactly one.
CK_OBJECT_HANDLE findOne(const Cryptoki& p11, CK_SESSION_HANDLE session, CK_OBJECT_CLASS cls,
                         const std::vector<uint8_t>& id) {
    std::vector<uint8_t> idCopy = id;
    CK_ATTRIBUTE tmpl[] = {{CKA_CLASS, &cls, sizeof cls},
                           {CKA_ID, idCopy.data(), static_cast<CK_ULONG>(idCopy.size())}};
    auto found = p11.findObjects(session, tmpl, 2, 1, 1);
    return found.size() == 1 ? found.front() : CK_INVALID_HANDLE;
}

void warnOpen(CK_RV rv) {
    Logger::warn("SignerPkcs11: C_OpenSession returned " + std::to_string(rv));
}

}  // namespace

std::string CertId::text() const {
    static const char* kDigits = "0123456789ABCDEF";
    std::string out = std::to_string(slot) + ":";
    for (uint8_t b : id) {
        out += kDigits[b >> 4];
        out += kDigits[b & 0x0F];
    }
    return out;
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
        int hi = hexValue(hex[i]);
        int lo = hexValue(hex[i + 1]);
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
    std::map<CK_SLOT_ID, Session> warmSessions;

    bool loadModule() { return p11.load(modulePath); }
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
    CK_OBJECT_HANDLE cert = findOne(p11, session.handle(), CKO_CERTIFICATE, id.id);
    if (cert == CK_INVALID_HANDLE) return {};
    auto values = p11.attributes(session.handle(), cert, {CKA_VALUE});
    return values ? (*values)[0] : std::vector<uint8_t>{};
}

bool SignerPkcs11::warmUp(const std::string& certificateId, const std::string& pin) {
    const Cryptoki& p11 = impl_->p11;
    if (!p11.ready()) return false;
    CertId id = CertId::parse(certificateId);
    if (!id.valid()) {
        Logger::warn("SignerPkcs11: invalid certificateId: " + certificateId);
        return false;
    }
    Session session(p11, id.slot);
    if (!session.ok()) {
        warnOpen(session.openResult());
        return false;
    }
    if (pin.empty()) return true;
    CK_RV rv = loginResult(p11, session.handle(), pin);
    if (rv == CKR_OK) {
        // Kept open so that later signing with an empty PIN finds the token
        // logged in; one such session per slot is enough.
        if (impl_->warmSessions.count(id.slot) == 0) impl_->warmSessions.emplace(id.slot, std::move(session));
        return true;
    }
    if (rv == CKR_PIN_INCORRECT || rv == CKR_PIN_LOCKED) throw InvalidPinException();
    if (rv == kCkrLoginCancelled) throw SigningCancelledException();
    Logger::warn("SignerPkcs11: C_Login returned " + std::to_string(rv));
    return false;
}

std::vector<uint8_t> SignerPkcs11::signData(const std::vector<uint8_t>& data, const std::string& certificateId,
                                            const std::string& pin) {
    const Cryptoki& p11 = impl_->p11;
    if (!p11.ready()) return {};
    CertId id = CertId::parse(certificateId);
    if (!id.valid()) return {};
    // One session for search and signing: the key handle is valid only while
    // the session that found it is open.
    Session session(p11, id.slot);
    if (!session.ok()) {
        warnOpen(session.openResult());
        return {};
    }
    if (!pin.empty()) {
        CK_RV rv = loginResult(p11, session.handle(), pin);
        if (rv == kCkrLoginCancelled) throw SigningCancelledException();
        if (rv == CKR_PIN_INCORRECT) throw InvalidPinException();
        if (rv != CKR_OK) {
            Logger::warn("SignerPkcs11: C_Login returned " + std::to_string(rv));
            return {};
        }
    }
    CK_OBJECT_HANDLE cert = findOne(p11, session.handle(), CKO_CERTIFICATE, id.id);
    if (cert == CK_INVALID_HANDLE) {
        Logger::warn("SignerPkcs11: certificate not found on token");
        return {};
    }
    auto certValue = p11.attributes(session.handle(), cert, {CKA_VALUE});
    if (!certValue) return {};
    std::vector<uint8_t> certDer = std::move((*certValue)[0]);
    CK_OBJECT_HANDLE key = findOne(p11, session.handle(), CKO_PRIVATE_KEY, id.id);
    if (key == CK_INVALID_HANDLE) {
        Logger::warn("SignerPkcs11: private key not found on token");
        return {};
    }
    if (certDer.empty()) return {};
    CK_SESSION_HANDLE handle = session.handle();
    auto rawSign = [&p11, handle, key](const std::vector<uint8_t>& digestInfo) -> std::vector<uint8_t> {
        try {
            return p11.signRsaPkcs(handle, key, digestInfo);
        } catch (...) {
            return {};
        }
    };
    return CmsBuilder::buildDetached(data, certDer, rawSign, true);
}

}  // namespace tavo::signing
