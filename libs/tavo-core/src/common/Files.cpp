#include "common/Files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
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

}  // namespace

bool writeAll(int fd, const void* data, std::size_t size) {
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    std::size_t done = 0;
    while (done < size) {
        ssize_t n = ::write(fd, bytes + done, size - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = EIO;
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
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
    const auto onDisk = static_cast<std::uint64_t>(info.st_size);
    if (options.maxBytes && onDisk > *options.maxBytes) return tooLarge(*options.maxBytes);

    ReadResult result;
    std::vector<std::uint8_t>& bytes = result.bytes;
    const auto size = static_cast<std::size_t>(onDisk);
    bytes.resize(size);
    std::size_t have = 0;
    for (;;) {
        if (have == bytes.size()) {
            // The file grew since fstat; the limit still holds.
            if (options.maxBytes && have >= *options.maxBytes) {
                const int more = readOneMore(fd.get());
                if (more == 0) break;
                if (more < 0) return readFailure(ReadError::Unreadable, "cannot read: " + errnoText(errno));
                return tooLarge(*options.maxBytes);
            }
            bytes.resize(bytes.size() + kGrowStep);
        }
        ssize_t n = ::read(fd.get(), bytes.data() + have, bytes.size() - have);
        if (n < 0) {
            if (errno == EINTR) continue;
            return readFailure(ReadError::Unreadable, "cannot read: " + errnoText(errno));
        }
        if (n == 0) break;
        have += static_cast<std::size_t>(n);
    }
    bytes.resize(have);
    if (options.maxBytes && have > *options.maxBytes) return tooLarge(*options.maxBytes);
    return result;
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
    return WriteResult{true, {}};
}

bool createUserDirectories(const std::string& path) {
    if (path.empty()) return false;
    struct stat info {};
    if (::stat(path.c_str(), &info) == 0) return S_ISDIR(info.st_mode);
    if (errno != ENOENT) return false;
    // Parents first; a trailing slash names the same folder.
    std::string trimmed = path;
    while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.pop_back();
    const std::size_t slash = trimmed.rfind('/');
    if (slash != std::string::npos && slash > 0 && !createUserDirectories(trimmed.substr(0, slash))) return false;
    if (::mkdir(trimmed.c_str(), 0700) != 0) {
        // Another thread or process may have made it meanwhile.
        return errno == EEXIST && ::stat(trimmed.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
    }
    // The umask only takes bits away; an odd one must not leave the folder unusable.
    ::chmod(trimmed.c_str(), 0700);
    return true;
}

}  // namespace tavo::core::common::files
