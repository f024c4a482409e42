#include "infrastructure/parsing/HttpDate.h"

#include <array>
#include <chrono>

#include "common/Ascii.h"

namespace tavo::core::infra::parsing {
namespace {

// In the order of std::chrono::weekday's C encoding (Sunday 0).
constexpr std::array<std::string_view, 7> kDayNames = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr std::array<std::string_view, 12> kMonthNames = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

template <size_t N>
int indexOf(const std::array<std::string_view, N>& names, std::string_view word) {
    for (size_t i = 0; i < N; ++i)
        if (names[i] == word) return static_cast<int>(i);
    return -1;
}

// The value of exactly `count` digits at pos; -1 when one is not a digit.
int digitsAt(std::string_view text, size_t pos, size_t count) {
    int value = 0;
    for (size_t i = pos; i < pos + count; ++i) {
        if (!common::ascii::isDigit(text[i])) return -1;
        value = value * 10 + (text[i] - '0');
    }
    return value;
}

}  // namespace

std::optional<std::time_t> parseHttpDate(std::string_view value) {
    using namespace std::chrono;
    const std::string_view t = common::ascii::trimBlanks(value);
    // Every field has its fixed place: "Sun, 06 Nov 1994 08:49:37 GMT".
    if (t.size() != 29 || t.substr(3, 2) != ", " || t[7] != ' ' || t[11] != ' ' || t[16] != ' ' || t[19] != ':' ||
        t[22] != ':' || t.substr(25) != " GMT")
        return std::nullopt;
    const int dayName = indexOf(kDayNames, t.substr(0, 3));
    const int monthIndex = indexOf(kMonthNames, t.substr(8, 3));
    const int d = digitsAt(t, 5, 2), y = digitsAt(t, 12, 4);
    const int h = digitsAt(t, 17, 2), m = digitsAt(t, 20, 2), s = digitsAt(t, 23, 2);
    // A leap second is written as second 60.
    if (dayName < 0 || monthIndex < 0 || d < 0 || y < 0 || h < 0 || h > 23 || m < 0 || m > 59 || s < 0 || s > 60)
        return std::nullopt;
    const year_month_day date{year{y}, month{static_cast<unsigned>(monthIndex + 1)}, day{static_cast<unsigned>(d)}};
    if (!date.ok() || weekday{sys_days{date}}.c_encoding() != static_cast<unsigned>(dayName)) return std::nullopt;
    const sys_seconds instant = sys_days{date} + hours{h} + minutes{m} + seconds{s};
    return static_cast<std::time_t>(instant.time_since_epoch().count());
}

}  // namespace tavo::core::infra::parsing
