#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "common/SafeJson.h"

namespace sj = tavo::core::common::safejson;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto out = sj::parse(std::string_view(reinterpret_cast<const char*>(data), size));
    if (!out.value) return 0;
    const sj::json& v = *out.value;
    // Every accessor on every member: never throws, never undefined.
    if (v.is_object()) {
        for (auto it = v.begin(); it != v.end(); ++it) {
            (void)sj::getString(v, it.key());
            (void)sj::getInt64(v, it.key());
            (void)sj::getInt32(v, it.key());
            (void)sj::getBool(v, it.key());
            (void)sj::asDouble(it.value());
        }
    } else {
        (void)sj::asInt64(v);
        (void)sj::asInt32(v);
    }
    std::string text = sj::dumpLenient(v);
    if (text.empty()) std::abort();
    return 0;
}
