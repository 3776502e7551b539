// libproc stand-in: what the system may ask about a running process, as
// with <libproc.h> on the Mac. Only the BSD information's identity fields.
#pragma once

#include <cstdint>

inline constexpr int PROC_PIDTBSDINFO = 3;

struct proc_bsdinfo {
    std::uint32_t pbi_pid;
    std::uint32_t pbi_ppid;
    // When the process started, to tell it from a later one that got the
    // same process id.
    std::uint64_t pbi_start_tvsec;
    std::uint64_t pbi_start_tvusec;
};

inline constexpr int PROC_PIDTBSDINFO_SIZE = static_cast<int>(sizeof(proc_bsdinfo));

// Fills `buffer` with the `flavor` information of process `pid`; the number
// of bytes filled, or 0 (errno set) when there is no such process or the
// flavor or buffer does not fit.
int proc_pidinfo(int pid, int flavor, std::uint64_t arg, void* buffer, int buffersize);
