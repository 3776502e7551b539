// proc_pidinfo over /proc: a process's parent and start time.
#include "host/libproc.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <optional>
#include <string>
#include <string_view>

#include "host/OwnProcess.h"

namespace {

// The number at the start of `text`, after blanks; `text` moves past it.
std::optional<std::uint64_t> takeNumber(std::string_view& text) {
    const std::size_t start = text.find_first_not_of(' ');
    if (start == std::string_view::npos) return std::nullopt;
    text.remove_prefix(start);
    std::uint64_t value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc()) return std::nullopt;
    text.remove_prefix(static_cast<std::size_t>(end - text.data()));
    return value;
}

// The word at the start of `text`, after blanks; `text` moves past it.
std::string_view takeWord(std::string_view& text) {
    const std::size_t start = text.find_first_not_of(' ');
    if (start == std::string_view::npos) return {};
    text.remove_prefix(start);
    const std::size_t end = std::min(text.find(' '), text.size());
    const std::string_view word = text.substr(0, end);
    text.remove_prefix(end);
    return word;
}

// The boot time in seconds since the epoch (the "btime" line of /proc/stat).
std::optional<std::uint64_t> bootTime() {
    const std::optional<std::string> stat = host::readProcFile("/proc/stat");
    if (!stat) return std::nullopt;
    std::string_view rest = *stat;
    while (!rest.empty()) {
        const std::size_t end = std::min(rest.find('\n'), rest.size());
        std::string_view line = rest.substr(0, end);
        rest.remove_prefix(std::min(end + 1, rest.size()));
        if (takeWord(line) == "btime") return takeNumber(line);
    }
    return std::nullopt;
}

}  // namespace

int proc_pidinfo(int pid, int flavor, std::uint64_t, void* buffer, int buffersize) {
    if (flavor != PROC_PIDTBSDINFO || !buffer || buffersize < PROC_PIDTBSDINFO_SIZE || pid <= 0) {
        errno = EINVAL;
        return 0;
    }
    const std::optional<std::string> stat =
        host::readProcFile("/proc/" + std::to_string(pid) + "/stat");
    // The name in parentheses may hold spaces: the fields follow its last
    // ')', the state first; the parent is field 4, the start time (clock
    // ticks after boot) field 22.
    const std::size_t close = stat ? stat->rfind(')') : std::string::npos;
    if (close == std::string::npos) {
        errno = ESRCH;
        return 0;
    }
    std::string_view fields = std::string_view(*stat).substr(close + 1);
    const bool hasState = !takeWord(fields).empty();
    const std::optional<std::uint64_t> ppid = takeNumber(fields);
    // Fields 5 to 21 may be negative: taken as words.
    for (int field = 5; field < 22; ++field) takeWord(fields);
    const std::optional<std::uint64_t> startTicks = takeNumber(fields);
    const long ticksPerSecond = ::sysconf(_SC_CLK_TCK);
    const std::optional<std::uint64_t> boot =
        hasState && ppid && startTicks && ticksPerSecond > 0 ? bootTime() : std::nullopt;
    if (!boot) {
        errno = ESRCH;
        return 0;
    }
    auto* info = static_cast<proc_bsdinfo*>(buffer);
    *info = proc_bsdinfo{};
    info->pbi_pid = static_cast<std::uint32_t>(pid);
    info->pbi_ppid = static_cast<std::uint32_t>(*ppid);
    const auto ticks = static_cast<std::uint64_t>(ticksPerSecond);
    info->pbi_start_tvsec = *boot + *startTicks / ticks;
    info->pbi_start_tvusec = (*startTicks % ticks) * 1'000'000 / ticks;
    return PROC_PIDTBSDINFO_SIZE;
}
