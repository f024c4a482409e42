// The upload form's verdict over (status, page): the first two bytes pick the
// status and the declared content type, the rest is the page. The page reaches
// the verdict as UTF-8, messages stay valid UTF-8 within their limit, and the
// pid scanner agrees with the pattern it replaces on small pages.
#include <cstdint>
#include <cstdlib>
#include <regex>
#include <string>

#include "common/Utf8.h"
#include "infrastructure/parsing/HtmlScanners.h"
#include "operations/PlsSubmissionExecutor.h"

namespace upload = tavo::core::operations::upload;
namespace scan = tavo::core::infra::parsing::scan;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    int status = 100 + ((data[0] << 8) | data[1]) % 500;
    static const char* const kContentTypes[] = {"", "text/html; charset=windows-1251", "text/html; charset=utf-8",
                                                "text/html"};
    std::string body(reinterpret_cast<const char*>(data + 2), size - 2);
    std::string page = upload::pageAsUtf8(body, kContentTypes[data[1] & 3]);
    if (!tavo::core::common::utf8::isValid(page)) std::abort();
    upload::Verdict v = upload::readVerdict(status, page);
    // 400 bytes of page text after at most 48 bytes of "HTTP nnn при подаване към НАП: ".
    if (!tavo::core::common::utf8::isValid(v.errorMessage) || v.errorMessage.size() > 448) std::abort();
    if (v.success && (status < 200 || status > 299)) std::abort();
    if (v.success != v.errorMessage.empty()) std::abort();
    if (scan::visibleText(body).find('<') != std::string::npos) std::abort();
    if (body.size() <= 512) {
        static const std::regex pid(R"((?:^|[^A-Za-z0-9_])pid[=:]\s*["']?(\d+))",
                                    std::regex::ECMAScript | std::regex::icase);
        std::smatch m;
        std::string expected = std::regex_search(body, m, pid) ? m[1].str() : std::string();
        if (upload::findPid(body) != expected) std::abort();
    }
    if (auto minute = upload::listingMinute(body.substr(0, 64)); minute && minute->size() != 16) std::abort();
    (void)upload::lowerCaseCopy(body);
    return 0;
}
