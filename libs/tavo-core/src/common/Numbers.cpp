#include "common/Numbers.h"

#include <charconv>

#include "common/Ascii.h"

namespace tavo::core::common {
namespace {

std::string_view afterBlanks(std::string_view text) {
    size_t i = 0;
    while (i < text.size() && ascii::isSpace(text[i])) ++i;
    return text.substr(i);
}

template <typename Integer>
std::optional<Integer> leadingDigits(std::string_view text) {
    Integer value{};
    auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value, 10);
    if (ec != std::errc() || ptr == text.data()) return std::nullopt;
    return value;
}

template <typename Integer>
std::optional<Integer> leadingSigned(std::string_view text) {
    text = afterBlanks(text);
    // from_chars takes "-" but not "+"; a sign is one character, so "+-5" is no number.
    if (!text.empty() && text.front() == '+') {
        text.remove_prefix(1);
        if (text.empty() || !ascii::isDigit(text.front())) return std::nullopt;
    }
    return leadingDigits<Integer>(text);
}

}  // namespace

std::optional<int32_t> leadingInt(std::string_view text) {
    return leadingSigned<int32_t>(text);
}

std::optional<int64_t> leadingInt64(std::string_view text) {
    return leadingSigned<int64_t>(text);
}

std::optional<uint64_t> leadingUnsigned64(std::string_view text) {
    return leadingDigits<uint64_t>(afterBlanks(text));
}

}  // namespace tavo::core::common
