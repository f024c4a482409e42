#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <chrono>
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
    NotTrusted,  // not a file isTrustedFile accepts (only when asked)
    Unreadable,  // any other failure of open, fstat or read
};

struct ReadOptions {
    std::optional<std::uint64_t> maxBytes;  // none: no limit
    bool followLinks = true;                // false: a link as the last component is refused
    bool requireOwnFile = false;            // true: only a file isTrustedFile accepts is read
};

// A regular file of this process's user that no one else can write and that
// has no other name (hard link): the only kind the agent trusts in its
// per-user folders (keys, PINs, log, applet).
bool isTrustedFile(const struct stat& info);

// The size of the file at path when it is one isTrustedFile accepts, looked
// at without following a link; none otherwise.
std::optional<std::uint64_t> trustedFileSize(const std::string& path);

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
// (errno set) when a write fails or makes no progress. written, when given,
// receives the number of bytes that did reach the file.
bool writeAll(int fd, const void* data, std::size_t size, std::size_t* written = nullptr);

struct WriteResult {
    bool ok = false;
    std::string reason;  // empty on success
    explicit operator bool() const { return ok; }
};

// Writes bytes under a temporary name in the target's folder, syncs them and
// renames the file over the target: a reader sees the old file or the whole
// new one, never a torn one, also after a crash (the folder is synced after
// the rename). The file gets mode exactly; a link at the target is replaced,
// never followed. The temporary name is "<target>.tmp" followed by six
// random characters.
WriteResult replaceFileAtomically(const std::string& target, const void* data, std::size_t size, mode_t mode);
inline WriteResult replaceFileAtomically(const std::string& target, const std::string& bytes, mode_t mode) {
    return replaceFileAtomically(target, bytes.data(), bytes.size(), mode);
}
inline WriteResult replaceFileAtomically(const std::string& target, const std::vector<std::uint8_t>& bytes,
                                         mode_t mode) {
    return replaceFileAtomically(target, bytes.data(), bytes.size(), mode);
}

// Unlinks the file and syncs its folder, so that a removal survives a power
// loss. A file that is not there counts as removed.
WriteResult removeFileDurably(const std::string& path);

// Syncs a folder's entries (after a rename or an unlink in it).
bool syncDirectory(const std::string& dir);

// Removes what a writer that died left under the temporary names of
// replaceFileAtomically ("<name>.tmp" and six characters) in dir, when it is
// older than minAge (younger ones may belong to a writer still at work).
// Returns how many went.
std::size_t sweepTemporaryFiles(const std::string& dir, std::chrono::seconds minAge);

struct DirOptions {
    bool create = true;     // false: a missing folder is reported as missing, not made
    bool userOnly = false;  // also take away others' read and search bits, where possible
};

struct DirResult {
    bool ok = false;
    bool missing = false;  // create false and the folder is not there
    std::string reason;    // empty on success; names the folder refused
    explicit operator bool() const { return ok; }
};

// Makes path a folder of the user's own, judged as ssh judges the paths it
// trusts: by who owns each step. Folders down to base (when path lies below
// it; else down to path's parent) are taken as the system resolves them and
// made when missing. Every step below that is looked at without following
// links: a link is followed only when it is ours and leads (through links of
// ours only) to a folder of ours; a link of another account, one leading
// nowhere or to another account's folder, something else than a folder, or a
// folder of another account is refused. A folder (a link's: the one it leads
// to) that others can write is made 0700 and checked again. Folders made here
// are 0700; none is made through a link.
DirResult prepareUserDirectory(const std::string& path, const std::string& base, const DirOptions& options = {});

}  // namespace tavo::core::common::files
