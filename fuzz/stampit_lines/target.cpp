#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "infrastructure/java/StampItBridge.h"

namespace lines = tavo::stampit::bridge_lines;

namespace {

void check(bool condition) {
    if (!condition) std::abort();
}

bool isTrimmed(const std::string& s) {
    return !s.empty() && std::string_view(" \t\r\n").find(s.front()) == std::string_view::npos &&
           std::string_view(" \t\r\n").find(s.back()) == std::string_view::npos;
}

}  // namespace

// The input is what a wrapper could print: its lines go through the output
// and error handlers of a submission, and through the validation errors.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::vector<std::string> all;
    size_t from = 0;
    while (from <= text.size()) {
        size_t lf = text.find('\n', from);
        if (lf == std::string::npos) lf = text.size();
        all.push_back(text.substr(from, lf - from));
        from = lf + 1;
    }

    lines::SubmitOutputState state;
    size_t natives = 0;
    for (const std::string& line : all) {
        auto out = lines::readSubmitOutputLine(line, state);
        check(out.signRequest == (line.rfind("SIGN:", 0) == 0));
        check(out.toSign.size() <= line.size() * 3 / 4 + 1);
        if (line.rfind("NATIVE_ERROR:", 0) == 0) ++natives;
        if (line.rfind("ERROR:", 0) == 0) check(state.errorMessage.empty() || isTrimmed(state.errorMessage));

        auto err = lines::readSubmitErrorLine(line);
        check(err.toTranscript != err.progress.has_value());
        if (err.progress) check(line.size() >= err.progress->size() && line.ends_with(*err.progress));
    }
    // Agency errors are kept up to their caps and the rest counted.
    check(state.nativeErrors.size() + state.nativeErrorsLeftOut == natives);
    check(state.nativeErrors.size() <= lines::kMaxNativeErrors);
    size_t keptBytes = 0;
    for (const std::string& e : state.nativeErrors) {
        check(isTrimmed(e) && e.size() <= lines::kMaxNativeErrorBytes);
        keptBytes += e.size();
    }
    check(keptBytes <= lines::kMaxNativeErrorsBytes);

    // A failure always says something; a success needs exit 0, no error of
    // any kind and every request signed.
    const int exitCode = size > 1 ? static_cast<int8_t>(data[1]) : 0;
    const size_t unsignedRequests = size > 2 ? data[2] % 3 : 0;
    const auto outcome = lines::decideSubmitOutcome(exitCode, state, unsignedRequests);
    check(outcome.success == outcome.errorMessage.empty());
    if (outcome.success) check(exitCode == 0 && unsignedRequests == 0 && state.errorMessage.empty() && natives == 0);
    bool anyError = false;
    for (const std::string& line : all) anyError = anyError || line.rfind("ERROR:", 0) == 0;
    if (anyError) check(!outcome.success && !state.errorMessage.empty());

    lines::SubmitOutputState closed = state;
    lines::noteLeftOutNativeErrors(closed);
    check(closed.nativeErrors.size() == state.nativeErrors.size() + (state.nativeErrorsLeftOut > 0 ? 1 : 0));

    const int code = size ? static_cast<int8_t>(data[0]) : 1;
    auto errors = lines::collectValidationErrors(all, text, code);
    check(!errors.empty());
    for (const std::string& e : errors) check(isTrimmed(e));
    return 0;
}
