#include <cstdint>
#include <cstdlib>
#include <string>

#include "infrastructure/parsing/BulgarianDates.h"
#include "infrastructure/parsing/HttpDate.h"

using tavo::core::infra::parsing::BulgarianDates;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    if (auto period = BulgarianDates::parsePeriod(text)) {
        if (period->first < 1900 || period->first > 2200 || period->second < 1 || period->second > 12) std::abort();
    }
    if (auto iso = BulgarianDates::parseDateIso(text)) {
        if (iso->size() != 10 && iso->size() != 19) std::abort();
    }
    int month = BulgarianDates::monthNumberFromBulgarianName(text);
    if (month < 0 || month > 12) std::abort();
    if (month != 0 && BulgarianDates::monthNumberFromBulgarianName(BulgarianDates::monthNameBulgarian(month)) != month)
        std::abort();
    // A portal's Date header: any instant it reads as turns into a Sofia minute.
    if (auto instant = tavo::core::infra::parsing::parseHttpDate(text)) {
        if (BulgarianDates::sofiaMinute(*instant).size() < 16) std::abort();
    }
    return 0;
}
