// What the running program knows of itself and of processes through /proc,
// read with plain system calls: these files are small, have no size until
// read, and are asked for at every start.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace host {

// The whole of a /proc file (or any small file), read to its end; nothing
// when it cannot be opened or read, or holds more than 1 MiB (/proc/stat of
// a large machine is some tens of KiB).
std::optional<std::string> readProcFile(const std::string& path);

// The running program as the kernel resolved it (/proc/self/exe); nothing
// when that cannot be read. Looked up once: a process runs one executable
// until it ends or execs.
const std::optional<std::string>& ownExecutablePath();

// This process's id, renewed in a forked child; unlike getpid() no system
// call after the first.
int ownProcessID();

// The words the program was started with, argv[0] first (from
// /proc/self/cmdline); empty when that cannot be read.
std::vector<std::string> ownCommandLine();

}  // namespace host
