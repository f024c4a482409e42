#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "common/Utf8.h"
#include "infrastructure/tavocloud/TavoCloudClient.h"

namespace tc = tavo::core::infra::tavocloud;

// The first byte picks the status (200 or one of the failure classes); the
// rest is the body.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static constexpr int kStatuses[] = {200, 204, 299, 404, 500, 0};
    int status = 200;
    if (size > 0) {
        status = kStatuses[data[0] % (sizeof kStatuses / sizeof kStatuses[0])];
        ++data;
        --size;
    }
    tc::VersionAnswer answer =
        tc::readVersionAnswer(status, std::string_view(reinterpret_cast<const char*>(data), size));
    // ok exactly when a version was read and nothing went wrong; a warning is
    // one clean log line.
    if (answer.info.ok != (!answer.info.latestVersion.empty() && answer.warning.empty())) std::abort();
    if (answer.warning.find('\n') != std::string::npos) std::abort();
    if (!tavo::core::common::utf8::isValid(answer.warning)) std::abort();
    for (const std::string& line : answer.dropped)
        if (line.find('\n') != std::string::npos || !tavo::core::common::utf8::isValid(line)) std::abort();
    // Whatever is left is offered to the user: https addresses and versions
    // without control characters only.
    for (const std::string* url : {&answer.info.windowsUrl, &answer.info.macUrl}) {
        if (url->empty()) continue;
        if (url->size() < 9) std::abort();
        std::string scheme = url->substr(0, 8);
        for (char& c : scheme)
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (scheme != "https://") std::abort();
    }
    for (const std::string* text :
         {&answer.info.latestVersion, &answer.info.minVersion, &answer.info.windowsUrl, &answer.info.macUrl})
        for (char c : *text)
            if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) std::abort();
    return 0;
}
