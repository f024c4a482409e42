#include "common/SafeJson.h"

#include <cmath>
#include <limits>

namespace tavo::core::common::safejson {

namespace {

// Calls f with every character outside strings.
template <class F>
void forEachOutsideStrings(std::string_view text, F f) {
    bool inString = false, escaped = false;
    for (char c : text) {
        if (inString) {
            if (escaped)
                escaped = false;
            else if (c == '\\')
                escaped = true;
            else if (c == '"')
                inString = false;
            continue;
        }
        if (c == '"')
            inString = true;
        else
            f(c);
    }
}

// The rules every parse applies before the parser sees the text; the
// refusal's text, or empty.
std::string refusal(std::string_view text, int maxDepth) {
    // The parser takes a NUL byte for the end of the input and would accept
    // whatever follows it unread.
    if (auto nul = text.find('\0'); nul != std::string_view::npos) return "NUL byte at offset " + std::to_string(nul);
    if (nestingDepth(text) > maxDepth) return "nesting deeper than " + std::to_string(maxDepth) + " levels";
    return {};
}

}  // namespace

int nestingDepth(std::string_view text) {
    int depth = 0, deepest = 0;
    forEachOutsideStrings(text, [&](char c) {
        if (c == '[' || c == '{') {
            if (++depth > deepest) deepest = depth;
        } else if (c == ']' || c == '}') {
            if (depth > 0) --depth;
        }
    });
    return deepest;
}

std::size_t valueCount(std::string_view text) {
    // Every element or member after a container's first follows a comma; the
    // first is counted with its container's bracket, the outermost value as 1.
    std::size_t count = 1;
    forEachOutsideStrings(text, [&](char c) { count += c == ',' || c == '[' || c == '{'; });
    return count;
}

bool isJson(std::string_view text, int maxDepth) {
    if (!refusal(text, maxDepth).empty()) return false;
    try {
        return json::accept(text.begin(), text.end(), false);
    } catch (const std::exception&) {
        return false;
    }
}

ParseOutcome parse(std::string_view text, int maxDepth) {
    ParseOutcome out;
    out.error = refusal(text, maxDepth);
    if (!out.error.empty()) return out;
    try {
        out.value = json::parse(text.begin(), text.end(), nullptr, true, false);
    } catch (const std::exception& e) {
        out.value.reset();
        out.error = e.what();
    }
    return out;
}

const json* member(const json& value, std::string_view key) {
    if (!value.is_object()) return nullptr;
    auto it = value.find(key);
    if (it == value.end()) return nullptr;
    return &*it;
}

std::optional<std::string> asString(const json& value) {
    if (!value.is_string()) return std::nullopt;
    return value.get_ref<const std::string&>();
}

std::optional<int64_t> asInt64(const json& value) {
    if (value.is_number_integer() && !value.is_number_unsigned()) return value.get<int64_t>();
    if (value.is_number_unsigned()) {
        uint64_t u = value.get<uint64_t>();
        if (u > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) return std::nullopt;
        return static_cast<int64_t>(u);
    }
    if (value.is_number_float()) {
        double d = value.get<double>();
        // -2^63 is exact as a double; 2^63 is the first value out of range.
        if (!std::isfinite(d) || d < -9223372036854775808.0 || d >= 9223372036854775808.0) return std::nullopt;
        return static_cast<int64_t>(d);
    }
    return std::nullopt;
}

std::optional<int32_t> asInt32(const json& value) {
    auto v = asInt64(value);
    if (!v || *v < std::numeric_limits<int32_t>::min() || *v > std::numeric_limits<int32_t>::max()) return std::nullopt;
    return static_cast<int32_t>(*v);
}

std::optional<double> asDouble(const json& value) {
    if (!value.is_number()) return std::nullopt;
    return value.get<double>();
}

std::optional<bool> asBool(const json& value) {
    if (!value.is_boolean()) return std::nullopt;
    return value.get<bool>();
}

std::optional<std::string> getString(const json& object, std::string_view key) {
    const json* m = member(object, key);
    return m ? asString(*m) : std::nullopt;
}

std::optional<int64_t> getInt64(const json& object, std::string_view key) {
    const json* m = member(object, key);
    return m ? asInt64(*m) : std::nullopt;
}

std::optional<int32_t> getInt32(const json& object, std::string_view key) {
    const json* m = member(object, key);
    return m ? asInt32(*m) : std::nullopt;
}

std::optional<bool> getBool(const json& object, std::string_view key) {
    const json* m = member(object, key);
    return m ? asBool(*m) : std::nullopt;
}

std::string dumpLenient(const json& value) {
    try {
        return value.dump(-1, ' ', false, json::error_handler_t::replace);
    } catch (const std::exception&) {
        return {};
    }
}

}  // namespace tavo::core::common::safejson
