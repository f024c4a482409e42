#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

// Reading JSON that comes from outside (portal, REST API, tokens, cloud,
// settings) without exceptions and without undefined behaviour.
namespace tavo::core::common::safejson {

using nlohmann::json;

constexpr int kDefaultMaxDepth = 64;

struct ParseOutcome {
    std::optional<json> value;  // absent on failure
    std::string error;          // the parser's message on failure
};

// Strict parse (no comments) of the whole text; never throws. A NUL byte
// anywhere is an error (inside a string it must be escaped as \u0000). Text
// nested deeper than maxDepth
// arrays/objects is refused before parsing: a deep value crashes dump() and
// copies by recursion.
ParseOutcome parse(std::string_view text, int maxDepth = kDefaultMaxDepth);

// Whether parse would accept the text, found without building the value:
// the cost does not grow with the number of values.
bool isJson(std::string_view text, int maxDepth = kDefaultMaxDepth);

// Deepest nesting of arrays and objects in the text, strings skipped.
int nestingDepth(std::string_view text);

// A count never below the number of values a parse of the text would build
// (containers, array elements, object members), strings skipped. A reader
// checks it before parsing: every value costs memory however few bytes of
// text it took ("[0,0,...]" is two bytes a value).
std::size_t valueCount(std::string_view text);

// Member of an object; null when value is not an object or lacks the key.
const json* member(const json& value, std::string_view key);

// Scalar conversions with range checks: no value when the type or range is off.
std::optional<std::string> asString(const json& value);
std::optional<int64_t> asInt64(const json& value);
std::optional<int32_t> asInt32(const json& value);
std::optional<double> asDouble(const json& value);
std::optional<bool> asBool(const json& value);

std::optional<std::string> getString(const json& object, std::string_view key);
std::optional<int64_t> getInt64(const json& object, std::string_view key);
std::optional<int32_t> getInt32(const json& object, std::string_view key);
std::optional<bool> getBool(const json& object, std::string_view key);

// Compact dump that never throws: invalid UTF-8 replaced by U+FFFD.
std::string dumpLenient(const json& value);

}  // namespace tavo::core::common::safejson
