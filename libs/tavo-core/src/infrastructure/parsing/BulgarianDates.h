#pragma once

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <utility>

namespace tavo::core::infra::parsing {

// Bulgarian month names and the portal's day.month.year date texts.
class BulgarianDates {
public:
    // "Януари" to "Декември" for 1 to 12; empty for any other value.
    static std::string monthNameBulgarian(int month);

    // 1 to 12 for a month name in any letter case, surrounding blanks
    // allowed; 0 otherwise.
    static int monthNumberFromBulgarianName(const std::string& name);

    // "Март 2024" to (2024, 3): year first, then month; years 1900 to 2200.
    static std::optional<std::pair<int32_t, int32_t>> parsePeriod(const std::string& text);

    // "5.3.2024" to "2024-03-05", "05.03.2024 9:07" to "2024-03-05T09:07:00".
    static std::optional<std::string> parseDateIso(const std::string& text);

    // The portal's wall-clock minute (Europe/Sofia) at a UTC instant, as
    // "YYYY-MM-DDTHH:MM", whatever the machine's zone.
    static std::string sofiaMinute(std::time_t utc);
};

}  // namespace tavo::core::infra::parsing
