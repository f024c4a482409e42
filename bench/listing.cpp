// extractDataRows over a 5 MB listing of submitted documents, and against
// std::regex with the pattern it replaces on a listing small enough for
// std::regex to survive (and the scanner on that same listing). firstMatch
// (a caller's pattern on RE2) beside extractDataRows on one 2 MB page.
#include <benchmark/benchmark.h>

#include <regex>
#include <string>

#include "infrastructure/parsing/HtmlUtils.h"

using tavo::core::infra::parsing::HtmlUtils;

namespace {

// The portal's table: a header row, then hover-highlighted rows of six cells.
std::string listing(size_t bytes) {
    std::string html =
        "<html><body><table class=\"list\">\n<tr class=\"head\"><th>№</th><th>Вид</th><th>Период</th>"
        "<th>Подаден</th><th>Статус</th><th>Файл</th></tr>\n";
    for (int i = 0; html.size() < bytes; ++i) {
        std::string n = std::to_string(1000000 + i);
        html += "<tr class=\"" + std::string(i % 2 ? "odd" : "even") +
                "\" onmouseover=\"this.className='hover'\" onmouseout=\"this.className='" + (i % 2 ? "odd" : "even") +
                "'\">\n  <td align=\"right\">" + n +
                "</td>\n  <td>Справка-декларация по ЗДДС</td>\n  <td>Март 2024</td>\n" +
                "  <td>05.03.2024 9:07</td>\n  <td><b>Приета</b></td>\n  <td><a href=\"/pls/pub/doc?id=" + n + "\">" +
                n + ".txt</a></td>\n</tr>\n";
    }
    return html + "</table></body></html>\n";
}

void BM_ExtractDataRows5MB(benchmark::State& state) {
    static const std::string html = listing(5 * 1024 * 1024);
    size_t rows = 0;
    for (auto _ : state) {
        auto r = HtmlUtils::extractDataRows(html);
        rows = r.size();
        benchmark::DoNotOptimize(r.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * html.size()));
    state.counters["rows"] = static_cast<double>(rows);
}

constexpr size_t kSmallListing = 64 * 1024;

void BM_ExtractDataRowsSmall(benchmark::State& state) {
    static const std::string html = listing(kSmallListing);
    for (auto _ : state) {
        auto r = HtmlUtils::extractDataRows(html);
        benchmark::DoNotOptimize(r.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * html.size()));
}

void BM_StdRegexRowsSmall(benchmark::State& state) {
    static const std::string html = listing(kSmallListing);
    static const std::regex re("<tr\\s+[^>]*onmouseover[^>]*>([\\s\\S]*?)</tr>",
                               std::regex::ECMAScript | std::regex::icase);
    size_t rows = 0;
    for (auto _ : state) {
        std::vector<std::string> r;
        for (std::sregex_iterator it(html.begin(), html.end(), re), end; it != end; ++it) r.push_back((*it)[1].str());
        rows = r.size();
        benchmark::DoNotOptimize(r.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * html.size()));
    state.counters["rows"] = static_cast<double>(rows);
}

// A 2 MB listing whose hidden pid field comes last, as on the portal's
// result page: the pattern has to scan the whole page.
const std::string& pageWithPidAtTheEnd() {
    static const std::string html = [] {
        std::string page = listing(2 * 1024 * 1024);
        page.insert(page.rfind("</body>"), "<input type=\"hidden\" id=\"pid\" value=\"4711\">\n");
        return page;
    }();
    return html;
}

void BM_FirstMatch2MB(benchmark::State& state) {
    const std::string& html = pageWithPidAtTheEnd();
    std::string value;
    for (auto _ : state) {
        value = HtmlUtils::firstMatch(html, "id=\"pid\" value=\"([^\"]*)\"");
        benchmark::DoNotOptimize(value.data());
    }
    if (value != "4711") state.SkipWithError("pid not found");
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * html.size()));
}

void BM_ExtractDataRows2MB(benchmark::State& state) {
    const std::string& html = pageWithPidAtTheEnd();
    for (auto _ : state) {
        auto r = HtmlUtils::extractDataRows(html);
        benchmark::DoNotOptimize(r.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * html.size()));
}

}  // namespace

BENCHMARK(BM_FirstMatch2MB)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ExtractDataRows2MB)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ExtractDataRows5MB)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ExtractDataRowsSmall)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_StdRegexRowsSmall)->Unit(benchmark::kMicrosecond);
BENCHMARK_MAIN();
