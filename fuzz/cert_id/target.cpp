#include <cstdint>
#include <cstdlib>
#include <string>

#include "infrastructure/signing/SignerPkcs11.h"

using tavo::signing::CertId;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    CertId id = CertId::parse(text);
    // A valid id prints in the listing form and reads back the same.
    if (id.valid()) {
        CertId again = CertId::parse(id.text());
        if (again.slot != id.slot || again.id != id.id) std::abort();
        if (id.id.size() > size / 2) std::abort();
    }
    return 0;
}
