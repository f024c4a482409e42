#pragma once

// Character classes of the classic "C" locale, independent of the process
// locale (std::isspace and friends are not).
namespace tavo::core::common::ascii {

constexpr bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// The characters "\s" stands for in the classic locale.
constexpr bool isSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

constexpr char toLower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

constexpr char toUpper(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

}  // namespace tavo::core::common::ascii
