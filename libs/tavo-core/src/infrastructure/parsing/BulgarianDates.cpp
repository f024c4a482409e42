#include "infrastructure/parsing/BulgarianDates.h"

#include <charconv>
#include <chrono>
#include <cstdio>
#include <string_view>
#include <unordered_map>

#include "common/Ascii.h"
#include "common/Numbers.h"

namespace tavo::core::infra::parsing {
namespace {

constexpr const char* kMonthNames[12] = {"Януари", "Февруари", "Март",      "Април",    "Май",     "Юни",
                                         "Юли",    "Август",   "Септември", "Октомври", "Ноември", "Декември"};

constexpr auto trim = &tavo::core::common::ascii::trimBlanks;

// Lower case for ASCII and the Cyrillic block's capitals (U+0400..U+042F) in
// UTF-8; every other byte is kept, so invalid input passes through unchanged.
std::string foldCase(std::string_view s) {
    std::string out(s);
    for (size_t i = 0; i < out.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(out[i]);
        if (c >= 'A' && c <= 'Z') {
            out[i] = static_cast<char>(c + 32);
        } else if (c == 0xD0 && i + 1 < out.size()) {
            unsigned char d = static_cast<unsigned char>(out[i + 1]);
            if (d >= 0x80 && d <= 0x8F) {  // Ѐ..Џ to ѐ..џ
                out[i] = static_cast<char>(0xD1);
                out[i + 1] = static_cast<char>(d + 0x10);
            } else if (d >= 0x90 && d <= 0x9F) {  // А..П to а..п
                out[i + 1] = static_cast<char>(d + 0x20);
            } else if (d >= 0xA0 && d <= 0xAF) {  // Р..Я to р..я
                out[i] = static_cast<char>(0xD1);
                out[i + 1] = static_cast<char>(d - 0x20);
            }
            ++i;
        }
    }
    return out;
}

const std::unordered_map<std::string, int>& nameTable() {
    static const std::unordered_map<std::string, int> table = [] {
        std::unordered_map<std::string, int> t;
        t.reserve(12);
        for (int m = 1; m <= 12; ++m) t.emplace(foldCase(kMonthNames[m - 1]), m);
        return t;
    }();
    return table;
}

constexpr auto isDigit = &tavo::core::common::ascii::isDigit;
constexpr auto isSpace = &tavo::core::common::ascii::isSpace;

// Reads min..max digits at pos; advances pos.
std::optional<int> digits(std::string_view s, size_t& pos, size_t min, size_t max) {
    size_t start = pos;
    while (pos < s.size() && pos - start < max && isDigit(s[pos])) ++pos;
    if (pos - start < min) return std::nullopt;
    int value = 0;
    if (std::from_chars(s.data() + start, s.data() + pos, value).ec != std::errc()) return std::nullopt;
    return value;
}

bool expect(std::string_view s, size_t& pos, char c) {
    if (pos >= s.size() || s[pos] != c) return false;
    ++pos;
    return true;
}

}  // namespace

std::string BulgarianDates::monthNameBulgarian(int month) {
    if (month < 1 || month > 12) return {};
    return kMonthNames[month - 1];
}

int BulgarianDates::monthNumberFromBulgarianName(const std::string& name) {
    const auto& table = nameTable();
    auto it = table.find(foldCase(trim(name)));
    return it == table.end() ? 0 : it->second;
}

std::optional<std::pair<int32_t, int32_t>> BulgarianDates::parsePeriod(const std::string& text) {
    std::string_view t = trim(text);
    if (t.empty()) return std::nullopt;
    size_t blank = t.find(' ');
    if (blank == std::string_view::npos) return std::nullopt;
    int month = monthNumberFromBulgarianName(std::string(t.substr(0, blank)));
    if (month == 0) return std::nullopt;
    auto year = common::leadingInt(trim(t.substr(blank + 1)));
    if (!year || *year < 1900 || *year > 2200) return std::nullopt;
    return std::make_pair(*year, static_cast<int32_t>(month));
}

std::optional<std::string> BulgarianDates::parseDateIso(const std::string& text) {
    // A scanner for the whole-text pattern
    // (\d{1,2})\.(\d{1,2})\.(\d{4})(?:\s+(\d{1,2}):(\d{2})(?::(\d{2}))?)?
    std::string_view t = trim(text);
    if (t.empty()) return std::nullopt;
    size_t pos = 0;
    auto day = digits(t, pos, 1, 2);
    if (!day || !expect(t, pos, '.')) return std::nullopt;
    auto month = digits(t, pos, 1, 2);
    if (!month || !expect(t, pos, '.')) return std::nullopt;
    auto year = digits(t, pos, 4, 4);
    if (!year) return std::nullopt;
    bool hasTime = pos < t.size();
    int hour = 0, minute = 0, second = 0;
    if (hasTime) {
        size_t ws = pos;
        while (pos < t.size() && isSpace(t[pos])) ++pos;
        if (pos == ws) return std::nullopt;
        auto h = digits(t, pos, 1, 2);
        if (!h || !expect(t, pos, ':')) return std::nullopt;
        auto mi = digits(t, pos, 2, 2);
        if (!mi) return std::nullopt;
        std::optional<int> s = 0;
        if (pos < t.size()) {
            if (!expect(t, pos, ':')) return std::nullopt;
            s = digits(t, pos, 2, 2);
            if (!s) return std::nullopt;
        }
        if (pos != t.size()) return std::nullopt;
        hour = *h;
        minute = *mi;
        second = *s;
    }
    if (*day < 1 || *day > 31 || *month < 1 || *month > 12) return std::nullopt;
    char buf[32];
    if (hasTime) {
        std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d", *year, *month, *day, hour, minute, second);
    } else {
        std::snprintf(buf, sizeof buf, "%04d-%02d-%02d", *year, *month, *day);
    }
    return std::string(buf);
}

// Computed from the zone's rule rather than read from the tz database:
// libstdc++ 12 has no chrono time zones, and TZ cannot be switched per call
// (tzset is process-wide and not thread-safe). Europe/Sofia has kept the EU
// rule since 1997: EET (UTC+2), and EEST (UTC+3) from 01:00 UTC on the last
// Sunday of March to 01:00 UTC on the last Sunday of October. Listings name
// filings made now, so earlier years' rules do not matter.
std::string BulgarianDates::sofiaMinute(std::time_t utc) {
    using namespace std::chrono;
    const sys_seconds instant{seconds{utc}};
    const year y = year_month_day{floor<days>(instant)}.year();
    const sys_seconds summerFrom = sys_days{y / March / Sunday[last]} + hours{1};
    const sys_seconds summerTo = sys_days{y / October / Sunday[last]} + hours{1};
    const bool summer = instant >= summerFrom && instant < summerTo;
    const sys_seconds wall = instant + hours{summer ? 3 : 2};
    const sys_days day = floor<days>(wall);
    const year_month_day date{day};
    const hh_mm_ss<seconds> time{wall - day};
    char buf[32];
    std::snprintf(buf, sizeof buf, "%04d-%02u-%02uT%02d:%02d", static_cast<int>(date.year()),
                  static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                  static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()));
    return buf;
}

}  // namespace tavo::core::infra::parsing
