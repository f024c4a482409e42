#include "common/Files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <ctime>
#include <filesystem>
#include <system_error>

namespace tavo::core::common::files {
namespace {

// Read in steps of this size once the size taken by fstat is used up.
constexpr std::size_t kGrowStep = 65536;

std::string errnoText(int err) {
    return std::system_category().message(err);
}

ReadResult readFailure(ReadError error, std::string reason) {
    ReadResult r;
    r.error = error;
    r.reason = std::move(reason);
    return r;
}

ReadResult tooLarge(std::uint64_t limit) {
    return readFailure(ReadError::TooLarge, "larger than " + std::to_string(limit) + " bytes");
}

WriteResult writeFailure(const std::string& what, int err) {
    return WriteResult{false, what + ": " + errnoText(err)};
}

// One byte past the limit shows whether a file that grew since fstat is
// still within it: 0 at the end, 1 past it, -1 on a read error.
int readOneMore(int fd) {
    char probe = 0;
    for (;;) {
        ssize_t n = ::read(fd, &probe, 1);
        if (n < 0 && errno == EINTR) continue;
        return n < 0 ? -1 : static_cast<int>(n);
    }
}

ReadResult readToEnd(int fd, std::size_t size, const std::optional<std::uint64_t>& maxBytes) {
    ReadResult result;
    std::vector<std::uint8_t>& bytes = result.bytes;
    bytes.resize(size);
    std::size_t have = 0;
    for (;;) {
        if (have == bytes.size()) {
            // The file grew since fstat; the limit still holds.
            if (maxBytes && have >= *maxBytes) {
                const int more = readOneMore(fd);
                if (more == 0) break;
                if (more < 0) return readFailure(ReadError::Unreadable, "cannot read: " + errnoText(errno));
                return tooLarge(*maxBytes);
            }
            bytes.resize(bytes.size() + kGrowStep);
        }
        ssize_t n = ::read(fd, bytes.data() + have, bytes.size() - have);
        if (n < 0) {
            if (errno == EINTR) continue;
            return readFailure(ReadError::Unreadable, "cannot read: " + errnoText(errno));
        }
        if (n == 0) break;
        have += static_cast<std::size_t>(n);
    }
    bytes.resize(have);
    if (maxBytes && have > *maxBytes) return tooLarge(*maxBytes);
    return result;
}

std::string parentOf(const std::string& path) {
    std::string parent = std::filesystem::path(path).parent_path().string();
    return parent.empty() ? std::string(".") : parent;
}

}  // namespace

bool writeAll(int fd, const void* data, std::size_t size, std::size_t* written) {
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    std::size_t done = 0;
    bool ok = true;
    while (done < size) {
        ssize_t n = ::write(fd, bytes + done, size - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = EIO;
            ok = false;
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    if (written) *written = done;
    return ok;
}

bool isTrustedFile(const struct stat& info) {
    // A second name elsewhere means someone else may read or change it there.
    return S_ISREG(info.st_mode) && info.st_uid == ::geteuid() && (info.st_mode & 022) == 0 && info.st_nlink == 1;
}

std::optional<std::uint64_t> trustedFileSize(const std::string& path) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0 || !isTrustedFile(info) || info.st_size < 0) return std::nullopt;
    return static_cast<std::uint64_t>(info.st_size);
}

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
}

int UniqueFd::release() noexcept {
    int fd = fd_;
    fd_ = -1;
    return fd;
}

void UniqueFd::reset(int fd) noexcept {
    if (fd_ >= 0 && fd_ != fd) ::close(fd_);
    fd_ = fd;
}

bool UniqueFd::close() noexcept {
    int fd = release();
    return fd >= 0 && ::close(fd) == 0;
}

ReadResult readRegularFile(const std::string& path, const ReadOptions& options) {
    // Non-blocking: opening a FIFO for reading would otherwise wait for a
    // writer before fstat could refuse it.
    int flags = O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY;
    if (!options.followLinks) flags |= O_NOFOLLOW;
    UniqueFd fd(::open(path.c_str(), flags));
    if (!fd) {
        const int err = errno;
        if (err == ENOENT || err == ENOTDIR) return readFailure(ReadError::NotFound, "no such file");
        if (err == ELOOP && !options.followLinks) return readFailure(ReadError::NotRegular, "a link, not a file");
        return readFailure(ReadError::Unreadable, "cannot open: " + errnoText(err));
    }
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0) return readFailure(ReadError::Unreadable, "cannot stat: " + errnoText(errno));
    if (!S_ISREG(info.st_mode) || info.st_size < 0)
        return readFailure(ReadError::NotRegular,
                           S_ISDIR(info.st_mode) ? "a folder, not a file" : "not a regular file");
    if (options.requireOwnFile && !isTrustedFile(info))
        return readFailure(ReadError::NotTrusted,
                           "owned by another account, writable by others or with a second name elsewhere");
    const auto onDisk = static_cast<std::uint64_t>(info.st_size);
    if (options.maxBytes && onDisk > *options.maxBytes) return tooLarge(*options.maxBytes);
    return readToEnd(fd.get(), static_cast<std::size_t>(onDisk), options.maxBytes);
}

WriteResult replaceFileAtomically(const std::string& target, const void* data, std::size_t size, mode_t mode) {
    std::string temp = target + ".tmpXXXXXX";
    UniqueFd fd(::mkostemp(temp.data(), O_CLOEXEC));
    if (!fd) return writeFailure("cannot create a temporary file", errno);
    auto discard = [&](const std::string& what, int err) {
        fd.reset();
        ::unlink(temp.c_str());
        return writeFailure(what, err);
    };
    if (!writeAll(fd.get(), data, size)) return discard("cannot write", errno);
    if (::fchmod(fd.get(), mode) != 0) return discard("cannot set the mode", errno);
    if (::fsync(fd.get()) != 0) return discard("cannot sync", errno);
    if (!fd.close()) return discard("cannot close", errno);
    if (::rename(temp.c_str(), target.c_str()) != 0) return discard("cannot rename over the target", errno);
    // Without it a power loss can bring the old file back.
    if (!syncDirectory(parentOf(target))) return writeFailure("cannot sync the folder", errno);
    return WriteResult{true, {}};
}

WriteResult removeFileDurably(const std::string& path) {
    if (::unlink(path.c_str()) != 0) {
        if (errno == ENOENT) return WriteResult{true, {}};
        return writeFailure("cannot remove", errno);
    }
    if (!syncDirectory(parentOf(path))) return writeFailure("cannot sync the folder", errno);
    return WriteResult{true, {}};
}

bool syncDirectory(const std::string& dir) {
    UniqueFd fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd) return false;
    // Some file systems cannot sync a folder at all; nothing more can be done there.
    return ::fsync(fd.get()) == 0 || errno == EINVAL || errno == ENOTSUP;
}

namespace {

// "<name>.tmp" followed by exactly six characters, as mkostemp fills them.
bool isTemporaryName(const std::string& name) {
    constexpr std::size_t kRandom = 6;
    const std::size_t at = name.rfind(".tmp");
    return at != std::string::npos && at > 0 && name.size() == at + 4 + kRandom;
}

}  // namespace

std::size_t sweepTemporaryFiles(const std::string& dir, std::chrono::seconds minAge) {
    std::size_t removed = 0;
    std::error_code ec;
    std::filesystem::directory_iterator it(dir, ec), end;
    const std::time_t now = std::time(nullptr);
    for (; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        struct stat info {};
        if (!isTemporaryName(name) || ::lstat(it->path().c_str(), &info) != 0 || S_ISDIR(info.st_mode)) continue;
        if (now - info.st_mtime < minAge.count()) continue;
        if (::unlink(it->path().c_str()) == 0) ++removed;
    }
    if (removed > 0) syncDirectory(dir);
    return removed;
}

namespace {

DirResult dirRefused(const std::string& dir, const std::string& why) {
    DirResult r;
    r.reason = dir + ": " + why;
    return r;
}

DirResult dirOk() {
    DirResult r;
    r.ok = true;
    return r;
}

DirResult dirMissing() {
    DirResult r;
    r.missing = true;
    return r;
}

// The folders down to the checked ones, followed as the system resolves
// them; the old behaviour for folders that are not the agent's own.
DirResult makeOuterFolders(const std::string& path, bool create) {
    if (path.empty()) return dirOk();
    struct stat info {};
    if (::stat(path.c_str(), &info) == 0) return S_ISDIR(info.st_mode) ? dirOk() : dirRefused(path, "not a folder");
    if (errno != ENOENT) return dirRefused(path, errnoText(errno));
    if (!create) return dirMissing();
    const std::size_t slash = path.rfind('/');
    if (slash != std::string::npos && slash > 0) {
        DirResult parent = makeOuterFolders(path.substr(0, slash), create);
        if (!parent) return parent;
    }
    if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) return dirRefused(path, errnoText(errno));
    if (::stat(path.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) return dirRefused(path, "not a folder");
    return dirOk();
}

// Takes away what others may do in a folder of ours; write access for others
// must go, read access goes when asked and possible.
DirResult tightenFolder(const std::string& dir, mode_t mode, const DirOptions& options) {
    const bool othersWrite = (mode & 022) != 0;
    const bool wanted = othersWrite || (mode & 0700) != 0700 || (options.userOnly && (mode & 077) != 0);
    if (!wanted) return dirOk();
    UniqueFd fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat info {};
    const bool changed = fd && ::fchmod(fd.get(), 0700) == 0;
    // A folder made under a umask that left us no access cannot be opened:
    // its mode is set by name (it is ours and was just looked at).
    if (!changed && (mode & 0700) != 0700) ::chmod(dir.c_str(), 0700);
    if (::lstat(dir.c_str(), &info) != 0 || !S_ISDIR(info.st_mode))
        return dirRefused(dir, "changed while being checked");
    if ((info.st_mode & 022) != 0) return dirRefused(dir, "others can write it and it cannot be made private");
    return dirOk();
}

// As many links in a row as the system itself follows.
constexpr int kMaxLinkHops = 40;

// Where a link leads, a relative target taken from the link's own folder;
// none when it cannot be read. Trailing slashes go: lstat would follow a
// last link through them.
std::optional<std::string> linkTarget(const std::string& link) {
    std::string target(PATH_MAX, '\0');
    const ssize_t n = ::readlink(link.c_str(), target.data(), target.size());
    if (n <= 0 || static_cast<std::size_t>(n) >= target.size()) return std::nullopt;
    target.resize(static_cast<std::size_t>(n));
    while (target.size() > 1 && target.back() == '/') target.pop_back();
    if (target.front() == '/') return target;
    const std::string parent = parentOf(link);
    return parent.back() == '/' ? parent + target : parent + "/" + target;
}

// One step below the base. A folder of ours is taken; a link is followed
// when it is ours, and so is every link after it, up to a folder of ours
// (users move the data folder to another disk and leave a link). resolved
// receives that folder, the one tightened and the one later steps lie in.
DirResult checkOwnFolder(const std::string& dir, const DirOptions& options, std::string& resolved) {
    std::string at = dir;
    struct stat info {};
    bool linked = false;
    for (int hops = 0;; ++hops) {
        if (::lstat(at.c_str(), &info) != 0) {
            if (errno != ENOENT) return dirRefused(at, errnoText(errno));
            // Never made through a link: its disk may just be away.
            if (hops > 0) return dirRefused(dir, "a link leading nowhere");
            if (!options.create) return dirMissing();
            if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) return dirRefused(dir, errnoText(errno));
            if (::lstat(dir.c_str(), &info) != 0) return dirRefused(dir, errnoText(errno));
        }
        if (!S_ISLNK(info.st_mode)) {
            linked = hops > 0;
            break;
        }
        if (info.st_uid != ::geteuid()) return dirRefused(at, "a link of another account");
        std::optional<std::string> next = linkTarget(at);
        if (!next) return dirRefused(at, "a link that cannot be read");
        if (hops == kMaxLinkHops) return dirRefused(dir, "too many links");
        at = std::move(*next);
    }
    if (!S_ISDIR(info.st_mode)) return dirRefused(dir, linked ? "a link leading to no folder" : "not a folder");
    if (info.st_uid != ::geteuid())
        return dirRefused(dir, linked ? "a link leading to a folder of another account" : "owned by another account");
    resolved = at;
    return tightenFolder(at, info.st_mode, options);
}

std::string normalFolder(const std::string& path) {
    std::string normal = std::filesystem::path(path).lexically_normal().string();
    while (normal.size() > 1 && normal.back() == '/') normal.pop_back();
    return normal;
}

}  // namespace

DirResult prepareUserDirectory(const std::string& path, const std::string& base, const DirOptions& options) {
    if (path.empty()) return dirRefused("(empty)", "no folder named");
    const std::string target = normalFolder(path);
    const std::string top = base.empty() ? std::string() : normalFolder(base);
    std::string outer;
    std::string own;  // the part below outer, checked folder by folder
    const bool below = !top.empty() && target.size() > top.size() && target.compare(0, top.size(), top) == 0 &&
                       (top.back() == '/' || target[top.size()] == '/');
    if (below) {
        outer = top;
        own = target.substr(top.back() == '/' ? top.size() : top.size() + 1);
    } else {
        const std::size_t slash = target.rfind('/');
        outer = slash == std::string::npos ? std::string() : target.substr(0, slash == 0 ? 1 : slash);
        own = slash == std::string::npos ? target : target.substr(slash + 1);
    }
    DirResult result = makeOuterFolders(outer, options.create);
    if (!result) return result;
    std::string current = outer;
    std::size_t from = 0;
    while (from <= own.size()) {
        std::size_t slash = own.find('/', from);
        if (slash == std::string::npos) slash = own.size();
        const std::string part = own.substr(from, slash - from);
        from = slash + 1;
        if (part.empty() || part == ".") continue;
        if (!current.empty() && current.back() != '/') current += '/';
        current += part;
        std::string resolved;
        result = checkOwnFolder(current, options, resolved);
        if (!result) return result;
        current = std::move(resolved);
    }
    return dirOk();
}

}  // namespace tavo::core::common::files
