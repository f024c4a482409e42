#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace tavo::stampit {

// Splits a byte stream that arrives in arbitrary chunks into lines: each line
// feed ends one line, a carriage return directly before it is dropped, empty
// lines are passed on, and no byte is decoded or altered otherwise. A line
// longer than the cap (its bytes before the line feed) is never
// held: the splitter stops there and hands out nothing more.
class LineAccumulator {
public:
    using Callback = std::function<void(const std::string&)>;

    static constexpr size_t kNoCap = SIZE_MAX;

    explicit LineAccumulator(Callback onLine, size_t maxLineBytes = kNoCap);

    void feed(const char* data, size_t size);

    // True once a line went past the cap; later input is dropped.
    bool overflowed() const { return overflowed_; }

    // Passes a remaining partial line, when not empty, exactly as received
    // (a trailing carriage return included), and empties the buffer.
    void finish();

private:
    void emit(const char* begin, size_t length);

    Callback onLine_;
    size_t maxLineBytes_;
    bool overflowed_ = false;
    std::string partial_;
    // Reused for every line so that a steady stream costs no allocation.
    std::string line_;
};

}  // namespace tavo::stampit
