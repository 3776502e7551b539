// proc_pidinfo reads a process's parent and start time out of /proc, where
// the fields follow the process's name in parentheses, and a name may hold
// spaces and parentheses of its own.
#include <gtest/gtest.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>

#include "host/libproc.h"
#include "support/Child.h"

namespace {

std::int64_t secondsNow() {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

class ProcessNamed : public ::testing::TestWithParam<const char*> {};

TEST_P(ProcessNamed, HasItsParentAndStartTime) {
    int ready[2], release[2];
    ASSERT_EQ(::pipe(ready), 0);
    ASSERT_EQ(::pipe(release), 0);
    const std::int64_t before = secondsNow();
    const pid_t child = testsupport::forkChild([&] {
        ::prctl(PR_SET_NAME, GetParam());
        char byte = 0;
        if (::write(ready[1], &byte, 1) == 1) (void)::read(release[0], &byte, 1);
    });
    ASSERT_GE(child, 0);
    char byte = 0;
    ASSERT_EQ(::read(ready[0], &byte, 1), 1);

    proc_bsdinfo info{};
    const int filled = proc_pidinfo(child, PROC_PIDTBSDINFO, 0, &info, PROC_PIDTBSDINFO_SIZE);
    EXPECT_EQ(::write(release[1], &byte, 1), 1);
    testsupport::waitFor(child);
    for (int fd : {ready[0], ready[1], release[0], release[1]}) ::close(fd);

    ASSERT_EQ(filled, PROC_PIDTBSDINFO_SIZE);
    EXPECT_EQ(info.pbi_pid, static_cast<std::uint32_t>(child));
    EXPECT_EQ(info.pbi_ppid, static_cast<std::uint32_t>(::getpid()));
    // The start is known to the clock tick; the boot time to the second.
    const auto start = static_cast<std::int64_t>(info.pbi_start_tvsec);
    EXPECT_GE(start, before - 2);
    EXPECT_LE(start, secondsNow() + 2);
    EXPECT_LT(info.pbi_start_tvusec, 1'000'000u);
}

INSTANTIATE_TEST_SUITE_P(Names, ProcessNamed,
                         ::testing::Values("plain", "two words", "a) 1 2 (b", "x)"));

TEST(ProcPidinfo, NoSuchProcessOrWrongRequestFillsNothing) {
    proc_bsdinfo info{};
    // Past the largest process id the kernel hands out.
    errno = 0;
    EXPECT_EQ(proc_pidinfo(1 << 30, PROC_PIDTBSDINFO, 0, &info, PROC_PIDTBSDINFO_SIZE), 0);
    EXPECT_EQ(errno, ESRCH);
    errno = 0;
    EXPECT_EQ(proc_pidinfo(::getpid(), PROC_PIDTBSDINFO, 0, &info, PROC_PIDTBSDINFO_SIZE - 1), 0);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(proc_pidinfo(0, PROC_PIDTBSDINFO, 0, &info, PROC_PIDTBSDINFO_SIZE), 0);
}

}  // namespace
