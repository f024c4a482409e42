#include "operations/ParameterJson.h"

#include <charconv>
#include <cmath>

#include "common/SafeJson.h"

namespace tavo::core::operations {

std::string sixDecimals(double value) {
    if (std::isnan(value)) return std::signbit(value) ? "-nan" : "nan";
    if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
    char buf[512];
    auto res = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed, 6);
    if (res.ec != std::errc()) return {};
    return std::string(buf, res.ptr);
}

std::optional<ParameterValues> flattenParameters(std::string_view text, std::string* error) {
    auto parsed = common::safejson::parse(text.empty() ? std::string_view("{}") : text);
    if (!parsed.value) {
        if (error) *error = parsed.error;
        return std::nullopt;
    }
    ParameterValues params;
    const auto& value = *parsed.value;
    if (!value.is_object()) return params;
    for (auto it = value.begin(); it != value.end(); ++it) {
        const auto& member = it.value();
        if (member.is_string())
            params[it.key()] = member.get<std::string>();
        else if (member.is_number())
            params[it.key()] = sixDecimals(member.get<double>());
        else if (member.is_boolean())
            params[it.key()] = member.get<bool>() ? "true" : "false";
    }
    return params;
}

}  // namespace tavo::core::operations
