#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// Files the way the agent handles them everywhere: one owner per descriptor,
// one way to read a regular file whole and one way to replace a file, so that
// a FIFO, a folder or a crash half-way never reaches the callers.
namespace tavo::core::common::files {

// Owns one descriptor and closes it once; move-only.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) noexcept : fd_(fd) {}
    ~UniqueFd() { reset(); }
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept;
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int get() const noexcept { return fd_; }
    explicit operator bool() const noexcept { return fd_ >= 0; }
    // Gives the descriptor up without closing it.
    int release() noexcept;
    // Closes the one held (if any) and holds fd instead.
    void reset(int fd = -1) noexcept;
    // Closes now, reporting whether the data reached the file; false when none was held.
    bool close() noexcept;

private:
    int fd_ = -1;
};

enum class ReadError {
    None,
    NotFound,    // no such file (or a link leading nowhere)
    NotRegular,  // a folder, a device, a FIFO, a socket, or a link when links are refused
    TooLarge,    // more bytes than the limit
    Unreadable,  // any other failure of open, fstat or read
};

struct ReadOptions {
    std::optional<std::uint64_t> maxBytes;  // none: no limit
    bool followLinks = true;                // false: a link as the last component is refused
};

struct ReadResult {
    std::vector<std::uint8_t> bytes;
    ReadError error = ReadError::None;
    std::string reason;  // empty on success; a short English text otherwise
    bool ok() const { return error == ReadError::None; }
};

// The whole content of a regular file, read to its end (a size taken before
// may be stale). Opened once, without blocking and without becoming the
// controlling terminal; the type is checked on the open descriptor, so a FIFO
// never blocks and a file swapped after a check is never read.
ReadResult readRegularFile(const std::string& path, const ReadOptions& options = {});

// Writes every byte, resuming after interruptions and short writes; false
// (errno set) when a write fails or makes no progress.
bool writeAll(int fd, const void* data, std::size_t size);

struct WriteResult {
    bool ok = false;
    std::string reason;  // empty on success
    explicit operator bool() const { return ok; }
};

// Writes bytes under a temporary name in the target's folder, syncs them and
// renames the file over the target: a reader sees the old file or the whole
// new one, never a torn one, also after a crash. The file gets mode exactly.
// The temporary name is "<target>.tmp" followed by six random characters.
WriteResult replaceFileAtomically(const std::string& target, const void* data, std::size_t size, mode_t mode);
inline WriteResult replaceFileAtomically(const std::string& target, const std::string& bytes, mode_t mode) {
    return replaceFileAtomically(target, bytes.data(), bytes.size(), mode);
}
inline WriteResult replaceFileAtomically(const std::string& target, const std::vector<std::uint8_t>& bytes,
                                         mode_t mode) {
    return replaceFileAtomically(target, bytes.data(), bytes.size(), mode);
}

// Creates the folder and any missing parents, each one it creates readable by
// the user only (0700); folders already there are left as they are. True when
// the path is a folder afterwards.
bool createUserDirectories(const std::string& path);

}  // namespace tavo::core::common::files
