// Reading and writing only regular files: FIFOs, devices, folders and
// planted symbolic links are refused before they can block or redirect.
#include "host/RegularFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>

namespace host {

namespace {

void setError(std::string* error, std::string message) {
    if (error) *error = std::move(message);
}

const char* kindOf(mode_t mode) {
    if (S_ISDIR(mode)) return "a folder";
    if (S_ISFIFO(mode)) return "a FIFO";
    if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device";
    if (S_ISSOCK(mode)) return "a socket";
    if (S_ISLNK(mode)) return "a symbolic link";
    return "not a file";
}

std::string notRegular(const std::filesystem::path& path, mode_t mode) {
    return path.string() + ": not a regular file (" + kindOf(mode) + ")";
}

// The message for a failed open(): what stands at the path when it is not
// a file (a link refused by O_NOFOLLOW, a FIFO without a reader), else the
// system's reason. errno stays the open's.
std::string openFailure(const std::filesystem::path& path, int code) {
    struct stat st {};
    std::string message = ::lstat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)
                              ? notRegular(path, st.st_mode)
                              : path.string() + ": " + std::strerror(code);
    errno = code;
    return message;
}

// The descriptor when it is a regular file, else closed with a message.
int requireRegular(int fd, const std::filesystem::path& path, std::string* error) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        setError(error, path.string() + ": " + std::strerror(errno));
        ::close(fd);
        return -1;
    }
    if (!S_ISREG(st.st_mode)) {
        setError(error, notRegular(path, st.st_mode));
        ::close(fd);
        errno = EINVAL;
        return -1;
    }
    return fd;
}

}  // namespace

int openFileForReading(const std::filesystem::path& path, Links links, std::string* error,
                       bool* absent) {
    if (absent) *absent = false;
    const bool follow = links == Links::Follow;
    // Looked at before opening: opening a device can have effects of its own.
    struct stat st {};
    if ((follow ? ::stat(path.c_str(), &st) : ::lstat(path.c_str(), &st)) != 0) {
        const int code = errno;
        // Nothing is there, also when a folder on the way is a file.
        if (absent) *absent = code == ENOENT || code == ENOTDIR;
        setError(error, path.string() + ": " + std::strerror(code));
        return -1;
    }
    if (!S_ISREG(st.st_mode)) {
        setError(error, notRegular(path, st.st_mode));
        return -1;
    }
    // Non-blocking and checked again: the file may have been swapped since.
    const int fd =
        ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | (follow ? 0 : O_NOFOLLOW));
    if (fd < 0) {
        const int code = errno;
        if (absent) *absent = code == ENOENT;
        setError(error, openFailure(path, code));
        return -1;
    }
    return requireRegular(fd, path, error);
}

namespace {

// "4 MiB", "64 KiB" or "N bytes": bounds are powers of two.
std::string sizeText(std::uint64_t bytes) {
    if (bytes >= (1u << 20) && bytes % (1u << 20) == 0) return std::to_string(bytes >> 20) + " MiB";
    if (bytes >= (1u << 10) && bytes % (1u << 10) == 0) return std::to_string(bytes >> 10) + " KiB";
    return std::to_string(bytes) + " bytes";
}

}  // namespace

std::string tooLargeToRead(const std::filesystem::path& path, std::uint64_t size,
                           std::uint64_t maxBytes) {
    return path.string() + ": too large to read (" + std::to_string(size) + " bytes; at most " +
           sizeText(maxBytes) + ")";
}

std::optional<std::string> readRegularFile(const std::filesystem::path& path, Links links,
                                           std::size_t maxBytes, std::string* error, bool* absent) {
    const int fd = openFileForReading(path, links, error, absent);
    if (fd < 0) return std::nullopt;
    struct stat st {};
    if (::fstat(fd, &st) == 0 && static_cast<std::uint64_t>(st.st_size) > maxBytes) {
        setError(error, tooLargeToRead(path, static_cast<std::uint64_t>(st.st_size), maxBytes));
        ::close(fd);
        return std::nullopt;
    }
    std::string bytes;
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            setError(error, path.string() + ": cannot be read: " + std::strerror(errno));
            ::close(fd);
            return std::nullopt;
        }
        if (n == 0) break;
        // A file that grows while it is read is held to the same bound.
        if (bytes.size() + static_cast<std::size_t>(n) > maxBytes) {
            setError(error,
                     tooLargeToRead(path, bytes.size() + static_cast<std::size_t>(n), maxBytes));
            ::close(fd);
            return std::nullopt;
        }
        bytes.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return bytes;
}

int openFileForWriting(const std::filesystem::path& path, int flags, std::string* error) {
    struct stat st {};
    const bool there = ::lstat(path.c_str(), &st) == 0;
    // Folders are made only for a file that is not there yet.
    if (!there && (flags & O_CREAT) != 0 && path.has_parent_path()) {
        std::error_code ec;
        std::filesystem::create_directories(path.parent_path(), ec);
        if (ec) {
            setError(error,
                     path.parent_path().string() + ": cannot create folder: " + ec.message());
            return -1;
        }
    }
    if (there && !S_ISREG(st.st_mode)) {
        setError(error, notRegular(path, st.st_mode));
        errno = EINVAL;
        return -1;
    }
    const int fd = ::open(path.c_str(), flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
    if (fd < 0) {
        const int code = errno;
        setError(error, openFailure(path, code));
        return -1;
    }
    return requireRegular(fd, path, error);
}

}  // namespace host
