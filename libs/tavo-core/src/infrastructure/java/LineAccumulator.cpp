#include "infrastructure/java/LineAccumulator.h"

#include <cstring>
#include <utility>

namespace tavo::stampit {

LineAccumulator::LineAccumulator(Callback onLine, size_t maxLineBytes)
    : onLine_(std::move(onLine)), maxLineBytes_(maxLineBytes) {}

void LineAccumulator::emit(const char* begin, size_t length) {
    if (length > 0 && begin[length - 1] == '\r') --length;
    line_.assign(begin, length);
    onLine_(line_);
}

void LineAccumulator::feed(const char* data, size_t size) {
    if (overflowed_) return;
    const char* end = data + size;
    const char* cursor = data;
    if (!partial_.empty()) {
        const void* nl = size ? std::memchr(cursor, '\n', size) : nullptr;
        const size_t upTo = nl ? static_cast<size_t>(static_cast<const char*>(nl) - cursor) : size;
        if (upTo > maxLineBytes_ - partial_.size()) {
            overflowed_ = true;
            std::string().swap(partial_);
            return;
        }
        if (!nl) {
            partial_.append(data, size);
            return;
        }
        const char* lf = static_cast<const char*>(nl);
        partial_.append(cursor, static_cast<size_t>(lf - cursor));
        // Moved out first: the callback may throw, and the buffer must not
        // hand the same line out twice.
        std::string whole = std::move(partial_);
        partial_.clear();
        cursor = lf + 1;
        emit(whole.data(), whole.size());
    }
    // Lines that lie wholly inside the chunk are handed out without copying
    // them into the buffer first.
    while (cursor < end) {
        const void* nl = std::memchr(cursor, '\n', static_cast<size_t>(end - cursor));
        if (!nl) break;
        const char* lf = static_cast<const char*>(nl);
        const char* begin = cursor;
        if (static_cast<size_t>(lf - begin) > maxLineBytes_) {
            overflowed_ = true;
            return;
        }
        cursor = lf + 1;
        emit(begin, static_cast<size_t>(lf - begin));
    }
    if (cursor < end) {
        if (static_cast<size_t>(end - cursor) > maxLineBytes_) {
            overflowed_ = true;
            return;
        }
        partial_.append(cursor, static_cast<size_t>(end - cursor));
    }
}

void LineAccumulator::finish() {
    if (partial_.empty()) return;
    std::string rest = std::move(partial_);
    partial_.clear();
    line_ = std::move(rest);
    onLine_(line_);
}

}  // namespace tavo::stampit
