#include <cstdint>
#include <cstdlib>
#include <regex>
#include <string>
#include <vector>

#include "infrastructure/java/JnlpDownloader.h"
#include "infrastructure/java/ManifestScanner.h"

using tavo::stampit::JnlpDownloader;
namespace formats = tavo::stampit::formats;

namespace {

// Small enough for std::regex to search without overflowing the stack.
constexpr size_t kRegexCheckLimit = 512;

std::vector<std::pair<std::string, std::string>> jarsByRegex(const std::string& s) {
    static const std::regex re("<(?:jar|nativelib)[^>]*\\bhref=\"([^\"]+)\"(?:[^>]*\\bsize=\"([^\"]+)\")?",
                               std::regex::ECMAScript | std::regex::icase);
    std::vector<std::pair<std::string, std::string>> out;
    for (std::sregex_iterator it(s.begin(), s.end(), re), end; it != end; ++it)
        out.emplace_back((*it)[1].str(), (*it)[2].matched ? (*it)[2].str() : "");
    return out;
}

std::vector<std::string> blocksByRegex(const std::string& s) {
    static const std::regex re("<resources\\b([^>]*)>([\\s\\S]*?)</resources>",
                               std::regex::ECMAScript | std::regex::icase);
    std::vector<std::string> out;
    for (std::sregex_iterator it(s.begin(), s.end(), re), end; it != end; ++it) {
        out.push_back((*it)[1].str());
        out.push_back((*it)[2].str());
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string xml(reinterpret_cast<const char*>(data), size);
    const auto manifest = JnlpDownloader::parseJnlp(xml);
    if (manifest.codebase.empty()) std::abort();
    const std::string rest = formats::cutResourcesBlocks(xml);
    if (rest.size() > xml.size()) std::abort();
    // An href outside the blocks may span a block that the cut removed.
    for (const auto& r : manifest.resources) {
        if (r.href.empty() || (xml.find(r.href) == std::string::npos && rest.find(r.href) == std::string::npos))
            std::abort();
    }
    // The scanners must agree with the patterns they replace.
    if (size <= kRegexCheckLimit) {
        std::vector<std::pair<std::string, std::string>> jars;
        for (const auto& j : formats::findJars(xml)) jars.emplace_back(j.href, j.size);
        if (jars != jarsByRegex(xml)) std::abort();
        std::vector<std::string> blocks;
        for (const auto& b : formats::findResourcesBlocks(xml)) {
            blocks.push_back(b.attributes);
            blocks.push_back(b.body);
        }
        if (blocks != blocksByRegex(xml)) std::abort();
    }
    return 0;
}
