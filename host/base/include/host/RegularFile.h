// Opening the files the host reads and writes so that nothing put in their
// place can stop a program or send its bytes elsewhere: a read never waits
// on a FIFO or a device, a write never follows a symbolic link, and both
// take only a regular file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace host {

// Whether a symbolic link in place of the file is followed. The simulated
// Mac's own files are replaced by rename, never written through a link, so
// a link there was planted and is refused; a bundle may well be assembled
// from links.
enum class Links { Follow, Refuse };

// Opens an existing regular file for reading, close-on-exec. A FIFO, a
// device, a socket, a folder or (with Links::Refuse) a symbolic link is
// refused without waiting. -1 on failure, with a message that names the
// path; `absent` tells whether nothing at all is at the path.
int openFileForReading(const std::filesystem::path& path, Links links, std::string* error,
                       bool* absent = nullptr);

// The whole file through openFileForReading; nothing on failure. A file of
// more than `maxBytes` is refused unread ("<path>: too large to read (N
// bytes; at most M)"): every reader states what its file may hold, so that
// a file grown by accident or on purpose never costs its size in memory.
std::optional<std::string> readRegularFile(const std::filesystem::path& path, Links links,
                                           std::size_t maxBytes, std::string* error,
                                           bool* absent = nullptr);

// The message for a file of `size` bytes that is refused as more than
// `maxBytes`; it names the path.
std::string tooLargeToRead(const std::filesystem::path& path, std::uint64_t size,
                           std::uint64_t maxBytes);

// Opens a file for writing with `flags` (O_WRONLY or O_RDWR, with O_APPEND,
// O_CREAT ...; new files get 0644), never through a symbolic link, and
// only when it is a regular file; missing folders are created first when
// O_CREAT is given. -1 on failure, with a message that names the path;
// errno is ENOENT only when there is no such file.
int openFileForWriting(const std::filesystem::path& path, int flags, std::string* error);

}  // namespace host
