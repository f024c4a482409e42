// The upload form's verdict over (status, page): the first two bytes pick the
// status, the rest is the page. Messages stay valid UTF-8 within their limit,
// and the pid scanner agrees with the pattern it replaces on small pages.
#include <cstdint>
#include <cstdlib>
#include <regex>
#include <string>

#include "common/Utf8.h"
#include "operations/PlsSubmissionExecutor.h"

namespace upload = tavo::core::operations::upload;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    int status = 100 + ((data[0] << 8) | data[1]) % 500;
    std::string body(reinterpret_cast<const char*>(data + 2), size - 2);
    upload::Verdict v = upload::readVerdict(status, body);
    // 400 bytes of page text after at most 48 bytes of "HTTP nnn при подаване към НАП: ".
    if (!tavo::core::common::utf8::isValid(v.errorMessage) || v.errorMessage.size() > 448) std::abort();
    if (v.success && (status < 200 || status > 299)) std::abort();
    if (body.size() <= 512) {
        static const std::regex pid(R"(pid[=:]\s*["']?(\d+))", std::regex::ECMAScript | std::regex::icase);
        std::smatch m;
        std::string expected = std::regex_search(body, m, pid) ? m[1].str() : std::string();
        if (upload::findPid(body) != expected) std::abort();
    }
    (void)upload::lowerCaseCopy(body);
    return 0;
}
