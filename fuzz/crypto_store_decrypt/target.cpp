#include <cstdint>
#include <cstdlib>
#include <string>

#include "infrastructure/security/CryptoStore.h"

using tavo::security::CryptoStore;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    auto value = CryptoStore::decrypt(text);
    if (!CryptoStore::isToken(text)) {
        if (!value || *value != text) std::abort();
        return 0;
    }
    if (value) {
        // A readable token gives a value whose own token reads back the same.
        auto again = CryptoStore::encrypt(*value);
        if (!again || CryptoStore::decrypt(*again) != value) std::abort();
    }
    return 0;
}
