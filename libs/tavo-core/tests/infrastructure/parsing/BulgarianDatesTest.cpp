#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <regex>
#include <string>

#include "infrastructure/parsing/BulgarianDates.h"
#include "support/ScopedTimeZone.h"

using tavo::core::infra::parsing::BulgarianDates;
using Period = std::optional<std::pair<int32_t, int32_t>>;

TEST(BulgarianDates, MonthNames) {
    const char* names[] = {"Януари", "Февруари", "Март",      "Април",    "Май",     "Юни",
                           "Юли",    "Август",   "Септември", "Октомври", "Ноември", "Декември"};
    for (int m = 1; m <= 12; ++m) {
        SCOPED_TRACE(m);
        EXPECT_EQ(BulgarianDates::monthNameBulgarian(m), names[m - 1]);
        EXPECT_EQ(BulgarianDates::monthNumberFromBulgarianName(names[m - 1]), m);
    }
    for (int m : {0, 13, -1, 1000}) EXPECT_EQ(BulgarianDates::monthNameBulgarian(m), "") << m;
}

TEST(BulgarianDates, MonthNumberIgnoresLetterCaseAndBlanks) {
    struct Case {
        const char* name;
        int month;
    };
    for (const Case& c : {
             Case{"март", 3},
             {" МАРТ ", 3},
             {"\tМарт\r\n", 3},
             {"мАрТ", 3},
             {"СЕПТЕМВРИ", 9},
             {"юли", 7},
             {"ЯНУАРИ", 1},
             {"Mart", 0},
             {"Мартт", 0},
             {"", 0},
             {"\xd0", 0},  // a lone lead byte
             {"Ма рт", 0},
         }) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(BulgarianDates::monthNumberFromBulgarianName(c.name), c.month);
    }
}

TEST(BulgarianDates, ParsePeriod) {
    struct Case {
        const char* text;
        Period period;
    };
    for (const Case& c : {
             Case{"Март 2024", Period{{2024, 3}}},
             {"  декември 1900 ", Period{{1900, 12}}},
             {"Май 2200", Period{{2200, 5}}},
             {"Март 2024г.", Period{{2024, 3}}},
             {"Март   2024", Period{{2024, 3}}},
             {"Март +2024", Period{{2024, 3}}},
             {"Март", std::nullopt},
             {"Месец 2024", std::nullopt},
             {"Март 1899", std::nullopt},
             {"Март 2201", std::nullopt},
             {"Март -2024", std::nullopt},
             {"Март г.2024", std::nullopt},
             {"Март 99999999999999999999", std::nullopt},
             {"", std::nullopt},
             {"Март\t2024", std::nullopt},  // split at a blank only
         }) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(BulgarianDates::parsePeriod(c.text), c.period);
    }
}

TEST(BulgarianDates, ParseDateIso) {
    struct Case {
        const char* text;
        std::optional<std::string> iso;
    };
    for (const Case& c : {
             Case{"5.3.2024", "2024-03-05"},
             {"05.03.2024 9:07", "2024-03-05T09:07:00"},
             {" 05.03.2024  09:07:59 ", "2024-03-05T09:07:59"},
             {"31.02.2024", "2024-02-31"},
             {"1.1.2024 99:99:99", "2024-01-01T99:99:99"},
             {"2024-03-05", std::nullopt},
             {"05.13.2024", std::nullopt},
             {"0.3.2024", std::nullopt},
             {"32.3.2024", std::nullopt},
             {"5.3.24", std::nullopt},
             {"5.3.2024 9", std::nullopt},
             {"5.3.2024 9:7", std::nullopt},
             {"5.3.2024x", std::nullopt},
             {"5.3.2024 9:07:", std::nullopt},
             {"", std::nullopt},
         }) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(BulgarianDates::parseDateIso(c.text), c.iso);
    }
}

// The date scanner against the pattern it replaces.
TEST(BulgarianDates, ParseDateIsoEqualsTheRegex) {
    const std::regex re("(\\d{1,2})\\.(\\d{1,2})\\.(\\d{4})(?:\\s+(\\d{1,2}):(\\d{2})(?::(\\d{2}))?)?");
    const char* tokens[] = {"0", "1", "5", "12", "31", "13", "2024", "199", ".", ":", " ", "\t", "\v", "a", "-"};
    std::mt19937 rng(7);
    auto pick = [&] {
        return std::string(tokens[std::uniform_int_distribution<size_t>(0, std::size(tokens) - 1)(rng)]);
    };
    auto num = [&](int lo, int hi, int width) {
        char buf[8];
        std::snprintf(buf, sizeof buf, "%0*d", width, std::uniform_int_distribution<int>(lo, hi)(rng));
        return std::string(buf);
    };
    int matching = 0;
    const int n = 4000;
    for (int i = 0; i < n; ++i) {
        std::string s;
        if (rng() % 4 != 0) {
            s = num(0, 35, 1 + rng() % 2) + "." + num(0, 14, 1 + rng() % 2) + "." + num(1900, 2100, 4);
            if (rng() % 2) s += std::string(1 + rng() % 2, ' ') + num(0, 30, 1 + rng() % 2) + ":" + num(0, 59, 2);
            if (rng() % 3 == 0) s += ":" + num(0, 59, 2);
            if (rng() % 6 == 0) s.insert(rng() % (s.size() + 1), pick());
        } else {
            for (auto k = rng() % 12; k > 0; --k) s += pick();
        }
        std::optional<std::string> expected;
        std::smatch m;
        std::string trimmed = s;
        trimmed.erase(0, trimmed.find_first_not_of(" \t\r\n"));
        trimmed.erase(trimmed.find_last_not_of(" \t\r\n") + 1);
        if (std::regex_match(trimmed, m, re)) {
            ++matching;
            int day = std::stoi(m[1]), month = std::stoi(m[2]), year = std::stoi(m[3]);
            if (day >= 1 && day <= 31 && month >= 1 && month <= 12) {
                char buf[40];
                if (m[4].matched) {
                    std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d", year, month, day, std::stoi(m[4]),
                                  std::stoi(m[5]), m[6].matched ? std::stoi(m[6]) : 0);
                } else {
                    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d", year, month, day);
                }
                expected = buf;
            }
        }
        ASSERT_EQ(BulgarianDates::parseDateIso(s), expected) << "input: [" << s << "]";
    }
    EXPECT_GE(matching * 3, n) << matching;
}

// Against the tz database itself, with the machine's zone west and east of
// Sofia making no difference: about every six hours from 1997 to 2037, and the
// last second before and the first after the two changes of 2024 (01:00 UTC).
TEST(SofiaMinute, AgreesWithTheTzDatabase) {
    std::vector<std::time_t> instants = {1711846799, 1711846800, 1729990799, 1729990800};
    for (std::time_t t = 852076800; t < 2145916800; t += 6 * 3600 + 17) instants.push_back(t);
    std::vector<std::pair<std::time_t, std::string>> expected;
    {
        tavo::test::ScopedTimeZone zone("Europe/Sofia");
        for (std::time_t t : instants) expected.emplace_back(t, tavo::test::wallClock(t, "%Y-%m-%dT%H:%M"));
    }
    for (const char* machine : {"America/New_York", "Asia/Tokyo", "UTC"}) {
        SCOPED_TRACE(machine);
        tavo::test::ScopedTimeZone zone(machine);
        size_t wrong = 0;
        for (const auto& [t, wall] : expected) {
            if (BulgarianDates::sofiaMinute(t) != wall && wrong++ < 5) ADD_FAILURE() << t << " expected " << wall;
        }
        EXPECT_EQ(wrong, 0u);
    }
}
