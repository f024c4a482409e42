#include "infrastructure/signing/SignerMac.h"

#include <openssl/asn1.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/objects.h>
#include <openssl/x509.h>

#include <climits>
#include <cstdio>
#include <ctime>
#include <optional>

#include "common/Base64.h"
#include "common/CPtr.h"
#include "common/Hex.h"
#include "common/Logger.h"
#include "infrastructure/signing/CmsBuilder.h"
#include "platform/Keychain.h"

namespace tavo::signing {
namespace {

namespace keychain = platform::keychain;
namespace base64 = core::common::base64;
using core::common::CPtr;
using X509Ptr = CPtr<X509, X509_free>;
using Asn1TimePtr = CPtr<ASN1_TIME, ASN1_TIME_free>;

// Seconds from 1970-01-01 to 2001-01-01, the Keychain's reference date.
constexpr int64_t kReferenceDateOffset = 978307200;

struct ErrorQueueGuard {
    ~ErrorQueueGuard() { ERR_clear_error(); }
};

// The certificate values the listing reads, as the Keychain gives them:
// dates as seconds since its reference date, the serial number as data.
struct CertificateValues {
    std::optional<double> notBefore;
    std::optional<double> notAfter;
    std::string issuer;
    std::optional<std::vector<uint8_t>> serial;
};

// Found by its persistent reference, which the id carries in Base64. Only
// identities are looked up: a reference to a stored PIN is no identity.
std::optional<keychain::Identity> resolveIdentity(const std::string& id) {
    std::vector<uint8_t> ref = base64::decode(id);  // characters outside the alphabet are ignored
    if (ref.empty()) return std::nullopt;
    keychain::Identity identity;
    if (keychain::copyIdentity(ref, identity) != keychain::kStatusOk) return std::nullopt;
    return identity;
}

X509Ptr parseCertificate(const std::vector<uint8_t>& der) {
    if (der.empty() || der.size() > static_cast<size_t>(LONG_MAX)) return nullptr;
    const unsigned char* p = der.data();
    return X509Ptr(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
}

std::string entryText(const X509_NAME* name, int nid) {
    int index = X509_NAME_get_index_by_NID(name, nid, -1);
    if (index < 0) return {};
    const ASN1_STRING* value = X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, index));
    unsigned char* utf8 = nullptr;
    int length = ASN1_STRING_to_UTF8(&utf8, value);
    if (length < 0 || !utf8) return {};
    std::string text(reinterpret_cast<const char*>(utf8), static_cast<size_t>(length));
    OPENSSL_free(utf8);
    return text;
}

std::string commonName(X509* cert) {
    return entryText(X509_get_subject_name(cert), NID_commonName);
}

// A short human-readable name for a certificate without a common name.
std::string subjectSummary(X509* cert) {
    const X509_NAME* subject = X509_get_subject_name(cert);
    for (int nid : {NID_pkcs9_emailAddress, NID_organizationalUnitName, NID_organizationName}) {
        std::string text = entryText(subject, nid);
        if (!text.empty()) return text;
    }
    return {};
}

std::optional<double> secondsSinceReferenceDate(const ASN1_TIME* time) {
    Asn1TimePtr reference(ASN1_TIME_set(nullptr, static_cast<time_t>(kReferenceDateOffset)));
    int days = 0, seconds = 0;
    if (!reference || !time || ASN1_TIME_diff(&days, &seconds, reference.get(), time) != 1) return std::nullopt;
    return static_cast<double>(days) * 86400.0 + static_cast<double>(seconds);
}

CertificateValues copyValues(X509* cert) {
    CertificateValues values;
    values.notBefore = secondsSinceReferenceDate(X509_get0_notBefore(cert));
    values.notAfter = secondsSinceReferenceDate(X509_get0_notAfter(cert));
    char issuer[512] = {0};
    if (X509_NAME_oneline(X509_get_issuer_name(cert), issuer, sizeof issuer)) values.issuer = issuer;
    const ASN1_INTEGER* serial = X509_get0_serialNumber(cert);
    if (serial) {
        const unsigned char* bytes = ASN1_STRING_get0_data(serial);
        values.serial = std::vector<uint8_t>(bytes, bytes + ASN1_STRING_length(serial));
    }
    return values;
}

void populateFromValues(X509* cert, CertificateInfo& info) {
    CertificateValues values = copyValues(cert);
    auto date = [](const std::optional<double>& seconds) -> std::string {
        if (!seconds) return {};
        double unix = *seconds + static_cast<double>(kReferenceDateOffset);
        if (!(unix > -6.0e10 && unix < 2.5e11)) return {};  // outside years 0000-9999
        time_t whole = static_cast<time_t>(unix);           // truncates toward zero
        std::tm tm{};
        if (!gmtime_r(&whole, &tm)) return {};
        char buf[64];
        std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02dZ", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                      tm.tm_hour, tm.tm_min, tm.tm_sec);
        return buf;
    };
    info.notBefore = date(values.notBefore);
    info.notAfter = date(values.notAfter);
    info.issuer = values.issuer;
    if (values.serial) info.serial = core::common::hex::encode(*values.serial);
}

}  // namespace

std::vector<CertificateInfo> SignerMac::listCertificates() {
    ErrorQueueGuard errors;
    std::vector<keychain::Identity> identities;
    keychain::OSStatus status = keychain::copyIdentities(identities);
    if (status == keychain::kStatusItemNotFound) return {};
    if (status != keychain::kStatusOk) {
        Logger::warn("SecItemCopyMatching(identities) failed: " + std::to_string(status));
        return {};
    }
    std::vector<CertificateInfo> list;
    for (const keychain::Identity& identity : identities) {
        X509Ptr cert = parseCertificate(identity.certificateDer);
        if (!cert) continue;
        CertificateInfo info;
        if (!identity.persistentRef.empty())
            info.id = base64::encode(identity.persistentRef.data(), identity.persistentRef.size());
        info.subject = commonName(cert.get());
        if (info.subject.empty()) info.subject = subjectSummary(cert.get());
        populateFromValues(cert.get(), info);
        if (identity.tokenId) {
            info.isHardware = true;
            info.source = *identity.tokenId;
        } else {
            info.source = "Keychain";
        }
        list.push_back(std::move(info));
    }
    return list;
}

std::vector<uint8_t> SignerMac::getCertificateDer(const std::string& certificateId) {
    auto identity = resolveIdentity(certificateId);
    if (!identity) return {};
    return identity->certificateDer;
}

bool SignerMac::warmUp(const std::string&, const std::string&) {
    return true;
}

std::vector<uint8_t> SignerMac::signData(const std::vector<uint8_t>& data, const std::string& certificateId,
                                         const std::string&) {
    auto identity = resolveIdentity(certificateId);
    if (!identity) {
        Logger::warn("SignerMac::signData: identity not found for ref");
        return {};
    }
    const std::vector<uint8_t> certificateDer = identity->certificateDer;
    if (certificateDer.empty()) {
        Logger::warn("SignerMac::signData: failed to read certificate DER");
        return {};
    }
    keychain::PrivateKey key;
    keychain::OSStatus status = keychain::copyPrivateKey(*identity, key);
    if (status != keychain::kStatusOk || !key) {
        Logger::warn("SecIdentityCopyPrivateKey failed: " + std::to_string(status));
        return {};
    }

    bool cancelled = false;
    // Runs inside OpenSSL's C frames: nothing may be thrown from here.
    auto rawSign = [&key, &cancelled](const std::vector<uint8_t>& digestInfo) -> std::vector<uint8_t> {
        try {
            keychain::Error error;
            auto signature = keychain::createRawPkcs1Signature(key, digestInfo, error);
            if (signature) return *signature;
            Logger::warn("SecKeyCreateSignature failed (" + std::to_string(error.code) + "): " + error.description);
            if (error.code == keychain::kStatusUserCanceled) cancelled = true;
        } catch (...) {
        }
        return {};
    };
    std::vector<uint8_t> signature = CmsBuilder::buildDetached(data, certificateDer, rawSign, true);
    if (cancelled) throw SigningCancelledException();
    return signature;
}

}  // namespace tavo::signing
