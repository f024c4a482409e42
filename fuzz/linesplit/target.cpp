#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "infrastructure/java/LineAccumulator.h"

using tavo::stampit::LineAccumulator;

namespace {

// The lines of a whole stream, split the plain way.
std::vector<std::string> reference(std::string_view s) {
    std::vector<std::string> lines;
    size_t from = 0;
    for (size_t lf = s.find('\n'); lf != std::string_view::npos; lf = s.find('\n', from)) {
        std::string line(s.substr(from, lf - from));
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(std::move(line));
        from = lf + 1;
    }
    if (from < s.size()) lines.emplace_back(s.substr(from));
    return lines;
}

}  // namespace

// The first bytes choose the chunk sizes, the rest is the stream: however it
// is cut, the splitter must give the same lines as splitting it whole.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    size_t header = size < 8 ? size : 8;
    std::string_view stream(reinterpret_cast<const char*>(data) + header, size - header);
    std::vector<std::string> got;
    LineAccumulator acc([&](const std::string& l) { got.push_back(l); });
    size_t pos = 0;
    for (size_t i = 0; pos < stream.size(); ++i) {
        size_t chunk = header ? data[i % header] % 17 : 1;
        if (chunk == 0) {
            acc.feed(stream.data() + pos, 0);  // empty reads must change nothing
            chunk = 1;
        }
        if (chunk > stream.size() - pos) chunk = stream.size() - pos;
        acc.feed(stream.data() + pos, chunk);
        pos += chunk;
    }
    acc.finish();
    const std::vector<std::string> whole = reference(stream);
    if (got != whole) std::abort();

    // With a cap, the lines handed out are the reference's up to the first
    // line over it, and the splitter says whether there was one.
    const size_t cap = header ? data[0] % 32 : 0;
    std::vector<std::string> capped;
    LineAccumulator bounded([&](const std::string& l) { capped.push_back(l); }, cap);
    for (size_t at = 0; at < stream.size(); at += 5)
        bounded.feed(stream.data() + at, std::min<size_t>(5, stream.size() - at));
    bounded.finish();
    size_t fit = 0;
    bool over = false;
    for (size_t from = 0; from < stream.size();) {
        size_t lf = stream.find('\n', from);
        size_t len = (lf == std::string_view::npos ? stream.size() : lf) - from;
        if (len > cap) {
            over = true;
            break;
        }
        ++fit;
        if (lf == std::string_view::npos) break;
        from = lf + 1;
    }
    if (bounded.overflowed() != over) std::abort();
    if (capped.size() != fit || !std::equal(capped.begin(), capped.end(), whole.begin())) std::abort();
    return 0;
}
