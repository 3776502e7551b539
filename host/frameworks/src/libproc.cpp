// proc_pidinfo over /proc: a process's parent and start time.
#include "host/libproc.h"

#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <limits>
#include <sstream>
#include <string>

namespace {

// The boot time in seconds since the epoch ("btime" of /proc/stat).
bool bootTime(std::uint64_t* seconds) {
    std::ifstream in("/proc/stat");
    for (std::string key; in >> key;) {
        if (key == "btime") return static_cast<bool>(in >> *seconds);
        in.ignore(std::numeric_limits<std::streamsize>::max(), '\n');
    }
    return false;
}

}  // namespace

int proc_pidinfo(int pid, int flavor, std::uint64_t, void* buffer, int buffersize) {
    if (flavor != PROC_PIDTBSDINFO || !buffer || buffersize < PROC_PIDTBSDINFO_SIZE || pid <= 0) {
        errno = EINVAL;
        return 0;
    }
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(in, line)) {
        errno = ESRCH;
        return 0;
    }
    // The name in parentheses may hold spaces: the fields follow its last
    // ')', the state first; the parent is field 4, the start time (clock
    // ticks after boot) field 22.
    const std::size_t close = line.rfind(')');
    std::istringstream fields(close == std::string::npos ? std::string() : line.substr(close + 1));
    std::string state;
    std::uint64_t ppid = 0, startTicks = 0, skip = 0, boot = 0;
    fields >> state >> ppid;
    for (int field = 5; field < 22 && fields; ++field) fields >> skip;
    fields >> startTicks;
    const long ticksPerSecond = ::sysconf(_SC_CLK_TCK);
    if (!fields || ticksPerSecond <= 0 || !bootTime(&boot)) {
        errno = ESRCH;
        return 0;
    }
    auto* info = static_cast<proc_bsdinfo*>(buffer);
    *info = proc_bsdinfo{};
    info->pbi_pid = static_cast<std::uint32_t>(pid);
    info->pbi_ppid = static_cast<std::uint32_t>(ppid);
    const auto ticks = static_cast<std::uint64_t>(ticksPerSecond);
    info->pbi_start_tvsec = boot + startTicks / ticks;
    info->pbi_start_tvusec = (startTicks % ticks) * 1'000'000 / ticks;
    return PROC_PIDTBSDINFO_SIZE;
}
