// The delegate key is an RSA key with its own RSA_METHOD: deprecated API.
#define OPENSSL_SUPPRESS_DEPRECATED

#include "infrastructure/signing/CmsBuilder.h"

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/cms.h>
#include <openssl/crypto.h>
#include <openssl/ess.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <climits>
#include <cstring>
#include <memory>
#include <mutex>

#include "common/CPtr.h"
#include "common/Logger.h"

namespace tavo::signing {
namespace {

using core::common::CPtr;

using X509Ptr = CPtr<X509, X509_free>;
using EvpPkeyPtr = CPtr<EVP_PKEY, EVP_PKEY_free>;
using RsaPtr = CPtr<RSA, RSA_free>;
using BnPtr = CPtr<BIGNUM, BN_free>;
using BioPtr = CPtr<BIO, BIO_free_all>;
using CmsPtr = CPtr<CMS_ContentInfo, CMS_ContentInfo_free>;
using EssCertV2Ptr = CPtr<ESS_SIGNING_CERT_V2, ESS_SIGNING_CERT_V2_free>;
using ObjPtr = CPtr<ASN1_OBJECT, ASN1_OBJECT_free>;

void freeOpenSslBytes(unsigned char* p) {
    OPENSSL_free(p);
}
using OsslBytes = CPtr<unsigned char, freeOpenSslBytes>;

constexpr unsigned int kCmsFlags = CMS_DETACHED | CMS_BINARY | CMS_NOSMIMECAP | CMS_PARTIAL;
constexpr const char* kSigningCertificateV2Oid = "1.2.840.113549.1.9.16.2.47";

struct DelegateContext {
    CmsBuilder::RawSign rawSign;
    int bits = 0;
};

// Process-wide values, created once and never freed.
std::once_flag gIndexOnce;
int gExIndex = -1;
std::once_flag gMethodOnce;
RSA_METHOD* gMethod = nullptr;

int exIndex() {
    std::call_once(gIndexOnce, [] {
        gExIndex = CRYPTO_get_ex_new_index(CRYPTO_EX_INDEX_RSA, 0, const_cast<char*>("tavo-delegate"), nullptr, nullptr,
                                           nullptr);
    });
    return gExIndex;
}

int delegatedPrivEnc(int length, const unsigned char* from, unsigned char* to, RSA* rsa, int padding) {
    int index = exIndex();
    if (index < 0) return -1;
    auto* ctx = static_cast<DelegateContext*>(RSA_get_ex_data(rsa, index));
    if (ctx == nullptr || padding != RSA_PKCS1_PADDING || !ctx->rawSign || length < 0) return -1;
    // OpenSSL sizes the output buffer to the modulus.
    const int modulusBytes = RSA_size(rsa);
    if (modulusBytes <= 0) return -1;
    std::vector<uint8_t> answer;
    try {
        answer = ctx->rawSign(std::vector<uint8_t>(from, from + length));
    } catch (...) {
        // Never let an exception cross OpenSSL's C frames.
        return -1;
    }
    if (answer.empty() || answer.size() > static_cast<size_t>(modulusBytes)) return -1;
    // A shorter answer is the same integer without its leading zero bytes.
    size_t pad = static_cast<size_t>(modulusBytes) - answer.size();
    std::memset(to, 0, pad);
    std::memcpy(to + pad, answer.data(), answer.size());
    return modulusBytes;
}

const RSA_METHOD* delegateMethod() {
    std::call_once(gMethodOnce, [] {
        RSA_METHOD* m = RSA_meth_new("tavo-delegate", RSA_METHOD_FLAG_NO_CHECK);
        if (m == nullptr) return;
        const RSA_METHOD* def = RSA_get_default_method();
        RSA_meth_set_priv_enc(m, delegatedPrivEnc);
        RSA_meth_set_pub_enc(m, RSA_meth_get_pub_enc(def));
        RSA_meth_set_pub_dec(m, RSA_meth_get_pub_dec(def));
        RSA_meth_set_priv_dec(m, RSA_meth_get_priv_dec(def));
        RSA_meth_set_mod_exp(m, RSA_meth_get_mod_exp(def));
        RSA_meth_set_bn_mod_exp(m, RSA_meth_get_bn_mod_exp(def));
        gMethod = m;
    });
    return gMethod;
}

// Detaches the context from the key before either goes away.
struct ContextSlot {
    RSA* rsa = nullptr;
    ~ContextSlot() {
        if (rsa != nullptr) RSA_set_ex_data(rsa, exIndex(), nullptr);
    }
};

bool addSigningCertificateV2(CMS_SignerInfo* si, X509* cert) {
    EssCertV2Ptr sc(OSSL_ESS_signing_cert_v2_new_init(EVP_sha256(), cert, nullptr, 1));
    if (!sc) {
        Logger::error("addSigningCertificateV2: OSSL_ESS_signing_cert_v2_new_init failed");
        return false;
    }
    unsigned char* raw = nullptr;
    int len = i2d_ESS_SIGNING_CERT_V2(sc.get(), &raw);
    OsslBytes der(raw);
    if (len < 3 || !der || der.get()[0] != 0x30) {
        Logger::error("addSigningCertificateV2: i2d_ESS_SIGNING_CERT_V2 produced unexpected output");
        return false;
    }
    int header = der.get()[1] < 0x80 ? 2 : 2 + (der.get()[1] & 0x7F);
    if (len <= header) {
        Logger::error("addSigningCertificateV2: ESS DER length header is malformed");
        return false;
    }
    ObjPtr oid(OBJ_txt2obj(kSigningCertificateV2Oid, 1));
    if (!oid) return false;
    // The whole DER, outer SEQUENCE included: an ASN1_TYPE of type SEQUENCE
    // is written as the bytes it holds, so without the header a level of
    // nesting is lost and verifiers reject the signature.
    return CMS_signed_add1_attr_by_OBJ(si, oid.get(), V_ASN1_SEQUENCE, der.get(), len) == 1;
}

// What CMS_final does, with the content written to the digest in one piece:
// CMS_final copies it through a 4 KiB buffer, which costs a fifth of the
// throughput on large files.
bool finalise(CMS_ContentInfo* cms, const std::vector<uint8_t>& data) {
    BioPtr chain(CMS_dataInit(cms, nullptr));
    if (!chain) return false;
    size_t done = 0;
    while (done < data.size()) {
        int n = BIO_write(chain.get(), data.data() + done, static_cast<int>(data.size() - done));
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    (void)BIO_flush(chain.get());
    return CMS_dataFinal(cms, chain.get()) == 1;
}

bool inputAccepted(const CmsBuilder::RawSign& rawSign, const std::vector<uint8_t>& data) {
    if (!rawSign) {
        Logger::error("CmsBuilder: rawSign callback is required");
        return false;
    }
    if (data.size() > static_cast<size_t>(INT_MAX)) {
        Logger::error("CmsBuilder: data of " + std::to_string(data.size()) + " bytes is longer than INT_MAX");
        return false;
    }
    return true;
}

X509Ptr parseCertificate(const std::vector<uint8_t>& certDer) {
    const unsigned char* p = certDer.data();
    X509Ptr cert;
    if (!certDer.empty() && certDer.size() <= static_cast<size_t>(LONG_MAX))
        cert.reset(d2i_X509(nullptr, &p, static_cast<long>(certDer.size())));
    if (!cert) Logger::error("CmsBuilder: failed to parse cert DER");
    return cert;
}

// A new RSA key holding the certificate's public numbers only.
RsaPtr publicKeyCopy(X509* cert) {
    EvpPkeyPtr certKey(X509_get_pubkey(cert));
    if (!certKey) return nullptr;
    RsaPtr certRsa(EVP_PKEY_get1_RSA(certKey.get()));
    if (!certRsa) return nullptr;
    RsaPtr rsa(RSA_new());
    if (!rsa) return nullptr;
    const BIGNUM* n = nullptr;
    const BIGNUM* e = nullptr;
    RSA_get0_key(certRsa.get(), &n, &e, nullptr);
    BnPtr nCopy(BN_dup(n));
    BnPtr eCopy(BN_dup(e));
    if (!nCopy || !eCopy || RSA_set0_key(rsa.get(), nCopy.get(), eCopy.get(), nullptr) != 1) return nullptr;
    // Owned by the RSA key from here on.
    static_cast<void>(nCopy.release());
    static_cast<void>(eCopy.release());
    return rsa;
}

// The certificate's public key with its private operation handed to
// rawSign: an RSA key under the delegate method, its context attached for as
// long as this object lives.
class DelegateKey {
public:
    bool attach(RsaPtr rsa, CmsBuilder::RawSign rawSign) {
        const RSA_METHOD* method = delegateMethod();
        const int index = exIndex();
        if (method == nullptr || index < 0) return false;
        rsa_ = std::move(rsa);
        key_.reset(EVP_PKEY_new());
        if (!key_) return false;
        context_ = std::make_unique<DelegateContext>();
        context_->rawSign = std::move(rawSign);
        context_->bits = RSA_bits(rsa_.get());
        if (RSA_set_ex_data(rsa_.get(), index, context_.get()) != 1) return false;
        slot_.rsa = rsa_.get();
        if (RSA_set_method(rsa_.get(), method) != 1) return false;
        if (EVP_PKEY_assign(key_.get(), EVP_PKEY_RSA, rsa_.get()) != 1) return false;
        static_cast<void>(rsa_.release());  // owned by the key from here on
        return true;
    }
    EVP_PKEY* get() const { return key_.get(); }

private:
    // Destroyed in reverse: the slot is cleared before the context and the
    // key (and the RSA key, until the key owns it) are freed.
    RsaPtr rsa_;
    EvpPkeyPtr key_;
    std::unique_ptr<DelegateContext> context_;
    ContextSlot slot_;
};

// The SignedData over data, left partial: signed when finalised.
CmsPtr startSignedData(X509* cert, EVP_PKEY* key, const std::vector<uint8_t>& data) {
    // A mem BIO needs a buffer even for no bytes.
    static const unsigned char kNothing = 0;
    const void* bytes = data.empty() ? &kNothing : data.data();
    BioPtr in(BIO_new_mem_buf(bytes, static_cast<int>(data.size())));
    if (!in) return nullptr;
    CmsPtr cms(CMS_sign(cert, key, nullptr, in.get(), kCmsFlags));
    if (!cms) Logger::error("CmsBuilder: CMS_sign failed");
    return cms;
}

// SHA-256 named as the signer's digest algorithm (with NULL parameters), and
// the signing-certificate-v2 attribute when asked; a missing attribute is
// logged, the signature still made.
void completeSignerInfo(CMS_ContentInfo* cms, X509* cert, bool addSigningCertV2) {
    STACK_OF(CMS_SignerInfo)* infos = CMS_get0_SignerInfos(cms);
    if (infos == nullptr || sk_CMS_SignerInfo_num(infos) <= 0) return;
    CMS_SignerInfo* si = sk_CMS_SignerInfo_value(infos, 0);
    X509_ALGOR* digestAlg = nullptr;
    CMS_SignerInfo_get0_algs(si, nullptr, nullptr, &digestAlg, nullptr);
    if (digestAlg != nullptr) X509_ALGOR_set0(digestAlg, OBJ_nid2obj(NID_sha256), V_ASN1_NULL, nullptr);
    if (addSigningCertV2 && !addSigningCertificateV2(si, cert))
        Logger::warn("CmsBuilder: failed to add SigningCertificateV2");
}

std::vector<uint8_t> derOf(CMS_ContentInfo* cms) {
    BioPtr out(BIO_new(BIO_s_mem()));
    if (!out || i2d_CMS_bio(out.get(), cms) != 1) return {};
    char* buf = nullptr;
    long len = BIO_get_mem_data(out.get(), &buf);
    if (len <= 0 || buf == nullptr) return {};
    return std::vector<uint8_t>(reinterpret_cast<uint8_t*>(buf), reinterpret_cast<uint8_t*>(buf) + len);
}

std::vector<uint8_t> build(const std::vector<uint8_t>& data, const std::vector<uint8_t>& certDer,
                           CmsBuilder::RawSign rawSign, bool addSigningCertV2) {
    if (!inputAccepted(rawSign, data)) return {};
    X509Ptr cert = parseCertificate(certDer);
    if (!cert) return {};
    RsaPtr rsa = publicKeyCopy(cert.get());
    if (!rsa) return {};
    // Declared before the SignedData, which holds a reference to the key:
    // the delegate's context outlives every use of it.
    DelegateKey key;
    if (!key.attach(std::move(rsa), std::move(rawSign))) return {};
    CmsPtr cms = startSignedData(cert.get(), key.get(), data);
    if (!cms) return {};
    completeSignerInfo(cms.get(), cert.get(), addSigningCertV2);
    if (!finalise(cms.get(), data)) {
        Logger::error("CmsBuilder: CMS_final failed");
        return {};
    }
    return derOf(cms.get());
}

}  // namespace

std::vector<uint8_t> CmsBuilder::buildDetached(const std::vector<uint8_t>& data, const std::vector<uint8_t>& certDer,
                                               RawSign rawSign, bool addSigningCertV2) {
    return build(data, certDer, std::move(rawSign), addSigningCertV2);
}

}  // namespace tavo::signing
