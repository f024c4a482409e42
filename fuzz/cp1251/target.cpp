#include <cstdint>
#include <cstdlib>
#include <string>

#include "common/Cp1251.h"
#include "common/Utf8.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string in(reinterpret_cast<const char*>(data), size);
    std::string out = tavo::core::common::Cp1251::ToUtf8(in);
    if (!tavo::core::common::utf8::isValid(out)) std::abort();
    if (out.size() < size || out.size() > 3 * size) std::abort();
    // The shared UTF-8 helpers must also hold on arbitrary bytes.
    std::string fixed = tavo::core::common::utf8::makeValid(in);
    if (!tavo::core::common::utf8::isValid(fixed)) std::abort();
    if (!tavo::core::common::utf8::isValid(tavo::core::common::utf8::cut(fixed, size / 2))) std::abort();
    return 0;
}
