#include "infrastructure/tavocloud/JwtVerifier.h"

#include <climits>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include "common/CPtr.h"
#include "common/SafeJson.h"

namespace tavo::core::infra::tavocloud {
namespace {

using common::CPtr;
namespace safejson = common::safejson;
using BioPtr = CPtr<BIO, BIO_free_all>;
using PkeyPtr = CPtr<EVP_PKEY, EVP_PKEY_free>;
using X509Ptr = CPtr<X509, X509_free>;
using MdCtxPtr = CPtr<EVP_MD_CTX, EVP_MD_CTX_free>;

// Whatever OpenSSL queued while we parsed untrusted text is ours to drop, so
// that the next TLS call of this thread does not read our stale errors.
struct ErrorQueueGuard {
    ~ErrorQueueGuard() { ERR_clear_error(); }
};

struct Segments {
    std::string_view header, payload, signature;
};

std::optional<Segments> split(std::string_view token, JwtVerifier::Result& result) {
    size_t first = token.find('.');
    if (first == std::string_view::npos) {
        result.error = "malformed JWT (no first dot)";
        return std::nullopt;
    }
    size_t second = token.find('.', first + 1);
    if (second == std::string_view::npos) {
        result.error = "malformed JWT (no second dot)";
        return std::nullopt;
    }
    return Segments{token.substr(0, first), token.substr(first + 1, second - first - 1), token.substr(second + 1)};
}

std::optional<std::string> base64UrlDecode(std::string_view segment) {
    std::string text(segment);
    for (char& c : text) {
        if (c == '-')
            c = '+';
        else if (c == '_')
            c = '/';
    }
    while (text.size() % 4 != 0) text.push_back('=');
    if (text.empty()) return std::string();
    if (text.size() > static_cast<size_t>(INT_MAX)) return std::nullopt;
    std::string out(text.size() / 4 * 3, '\0');
    int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                            reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(text.size()));
    if (n < 0) return std::nullopt;
    size_t padding = 0;
    while (padding < text.size() && text[text.size() - 1 - padding] == '=') ++padding;
    size_t length = static_cast<size_t>(n);
    out.resize(length > padding ? length - padding : 0);
    return out;
}

bool readPayload(std::string_view segment, JwtVerifier::Result& result) {
    auto bytes = base64UrlDecode(segment);
    if (!bytes) {
        result.error = "payload base64url decode failed";
        return false;
    }
    auto parsed = safejson::parse(*bytes);
    if (!parsed.value) {
        result.error = "payload JSON parse: " + parsed.error;
        return false;
    }
    result.payload = std::move(*parsed.value);
    return true;
}

// A member that must be the exact text; absent counts as the empty text.
bool memberEquals(const safejson::json& object, std::string_view key, std::string_view expected) {
    const safejson::json* value = safejson::member(object, key);
    if (!value) return expected.empty();
    auto text = safejson::asString(*value);
    return text && *text == expected;
}

PkeyPtr loadPublicKey(const std::string& pem) {
    if (pem.size() > static_cast<size_t>(INT_MAX)) return nullptr;
    {
        BioPtr bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
        if (!bio) return nullptr;
        PkeyPtr key(PEM_read_bio_PUBKEY(bio.get(), nullptr, nullptr, nullptr));
        if (key) return key;
    }
    ERR_clear_error();
    BioPtr bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    if (!bio) return nullptr;
    X509Ptr cert(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
    if (!cert) return nullptr;
    return PkeyPtr(X509_get_pubkey(cert.get()));
}

// Parsing a PEM costs far more than the RSA verification itself, and the
// server checks every request against the same configured key: each thread
// keeps the key of the last PEM it parsed. A changed PEM is parsed afresh, and
// a PEM that does not parse is never kept.
EVP_PKEY* cachedPublicKey(const std::string& pem) {
    struct Cache {
        std::string pem;
        PkeyPtr key;
    };
    thread_local Cache cache;
    if (cache.key && cache.pem == pem) return cache.key.get();
    cache.key.reset();
    cache.pem.clear();
    PkeyPtr key = loadPublicKey(pem);
    if (!key) return nullptr;
    cache.pem = pem;
    cache.key = std::move(key);
    return cache.key.get();
}

bool verifySignature(EVP_PKEY* key, std::string_view signingInput, const std::string& signature) {
    // RS256 means RSASSA-PKCS1-v1_5: an EC or RSA-PSS key must not pass just
    // because its own scheme happens to verify the bytes.
    if (EVP_PKEY_get_base_id(key) != EVP_PKEY_RSA) return false;
    MdCtxPtr ctx(EVP_MD_CTX_new());
    if (!ctx) return false;
    if (EVP_DigestVerifyInit(ctx.get(), nullptr, EVP_sha256(), nullptr, key) != 1) return false;
    return EVP_DigestVerify(ctx.get(), reinterpret_cast<const unsigned char*>(signature.data()), signature.size(),
                            reinterpret_cast<const unsigned char*>(signingInput.data()), signingInput.size()) == 1;
}

}  // namespace

JwtVerifier::Result JwtVerifier::verify(const std::string& token, const std::string& publicKeyPem) {
    ErrorQueueGuard errors;
    Result result;
    auto segments = split(token, result);
    if (!segments) return result;
    std::string_view signingInput =
        std::string_view(token).substr(0, segments->header.size() + 1 + segments->payload.size());

    auto headerBytes = base64UrlDecode(segments->header);
    if (!headerBytes) {
        result.error = "header base64url decode failed";
        return result;
    }
    auto header = safejson::parse(*headerBytes);
    if (!header.value) {
        result.error = "header JSON parse: " + header.error;
        return result;
    }
    // A header that is not an object, or whose members are not texts, is
    // refused with the same messages as a wrong value.
    if (!memberEquals(*header.value, "alg", "RS256")) {
        result.error = "unsupported alg (only RS256 is accepted)";
        return result;
    }
    if (!header.value->is_object() ||
        (safejson::member(*header.value, "typ") && !memberEquals(*header.value, "typ", "JWT"))) {
        result.error = "unsupported typ (expected JWT)";
        return result;
    }

    if (!readPayload(segments->payload, result)) return result;

    auto signature = base64UrlDecode(segments->signature);
    if (!signature) {
        result.error = "signature base64url decode failed";
        return result;
    }
    EVP_PKEY* key = cachedPublicKey(publicKeyPem);
    if (!key) {
        result.error = "failed to parse public key PEM";
        return result;
    }
    if (!verifySignature(key, signingInput, *signature)) {
        result.error = "signature verification failed";
        return result;
    }
    result.ok = true;
    return result;
}

JwtVerifier::Result JwtVerifier::decodeUnverified(const std::string& token) {
    ErrorQueueGuard errors;
    Result result;
    auto segments = split(token, result);
    if (!segments) return result;
    if (!readPayload(segments->payload, result)) return result;
    result.ok = true;
    return result;
}

}  // namespace tavo::core::infra::tavocloud
