#include <openssl/err.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "infrastructure/tavocloud/JwtVerifier.h"

using tavo::core::infra::tavocloud::JwtVerifier;

namespace {
// The public half of the key that signed the corpus's "valid" seed.
const std::string kPublicKeyPem =
    "-----BEGIN PUBLIC KEY-----\n"
    "MIIBIjANBgkqhkiG9w0BAQEFAAOCAQ8AMIIBCgKCAQEArShhD4loi6ds+dNIigOl\n"
    "8N/PkN1BplEqmd9l1S+VAqgPukjr3IRyIcSl/AkS2HBGTO+X52wU/8i0JVV7Oc1q\n"
    "zFB/jvbNfUWSx3cu9dfspfa3a1sdPKCYHDOzvvakiccvAWzXt08DRID8SEogvwS8\n"
    "ptK4v0kohAZbSrlxbUnaLtvgRww03DwgwGeg9zl0GnPzUsezZmhlof0LgWpFq9mq\n"
    "bXojndW08sp8L5R43o3+C+J1cxdCDiVmphk6wNHkaBP0atXhNffbKhS70KhAznH5\n"
    "1xCl7uWjiuVhBfKQJUN+bpZ3Q9NAkvtTkeXEB9Ce98NJ1+82tMFTIEVv8/P5Flje\n"
    "9wIDAQAB\n"
    "-----END PUBLIC KEY-----\n";
constexpr size_t kMaxToken = 8192;
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string token(reinterpret_cast<const char*>(data), size < kMaxToken ? size : kMaxToken);
    JwtVerifier::Result r = JwtVerifier::verify(token, kPublicKeyPem);
    if (r.ok != r.error.empty()) std::abort();
    if (ERR_peek_error() != 0) std::abort();
    if (r.ok) {
        // A verified token's payload is exactly what the unverified read gives.
        JwtVerifier::Result u = JwtVerifier::decodeUnverified(token);
        if (!u.ok || u.payload != r.payload) std::abort();
    }
    return 0;
}
