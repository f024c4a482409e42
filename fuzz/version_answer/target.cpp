#include <cstdint>
#include <cstdlib>
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
    return 0;
}
