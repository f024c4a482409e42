#pragma once

#include <cstddef>
#include <functional>
#include <string>

namespace tavo::stampit {

// Splits a byte stream that arrives in arbitrary chunks into lines: each line
// feed ends one line, a carriage return directly before it is dropped, empty
// lines are passed on, and no byte is decoded or altered otherwise.
class LineAccumulator {
public:
    using Callback = std::function<void(const std::string&)>;

    explicit LineAccumulator(Callback onLine);

    void feed(const char* data, size_t size);

    // Passes a remaining partial line, when not empty, exactly as received
    // (a trailing carriage return included), and empties the buffer.
    void finish();

private:
    void emit(const char* begin, size_t length);

    Callback onLine_;
    std::string partial_;
    // Reused for every line so that a steady stream costs no allocation.
    std::string line_;
};

}  // namespace tavo::stampit
