// Writers killed with SIGKILL at random moments, 200 times each: a process
// replacing a user-defaults domain, and a process sending clock driver
// commands and writing checkpoints of the machine. After every kill
// the files parse and hold what some whole write produced, the driver log has
// no torn line, and at most the killed writer's own temporary file is left
// over; the next writer of the same file removes it.
//
// A driver command is one record appended to the journal (driver.jsonl);
// machine.plist is a checkpoint rewritten now and then. After every kill
// the machine, as every program reads it, is exactly the replay of the
// journal's complete records, and the checkpoint holds exactly the records
// up to the seq it names: no command is ever in one and not the other.
//
// Kill moments are random microsecond delays from a seeded generator; the seed
// is printed, and TARNWICK_TEST_SEED repeats a run. Every other kill counts its
// delay from the moment the writer creates its temporary file, so that many
// kills land inside the short stretch between creating and renaming it; the
// rest count from the writer's start and land anywhere in its loop.

#include <poll.h>
#include <signal.h>  // NOLINT(modernize-deprecated-headers): kill is POSIX, not in <csignal>
#include <sys/inotify.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <random>

#include "host/Foundation.h"
#include "host/Machine.h"
#include "host/MachineControl.h"
#include "host/MachineInterface.h"
#include "host/SimMac.h"
#include "support/Child.h"
#include "support/DriverRules.h"
#include "support/IOKitCalls.h"
#include "support/SimMacFixture.h"
#include "support/TestSeed.h"

using namespace testsupport;

namespace {

constexpr int kKills = 200;
const std::string kDomain = "name.halvorn.oddny.TarnwickPref";

// Files in `dir` whose names start with `prefix`: the temporary files
// writeFileAtomically makes for a target are ".<name>." and a suffix.
std::vector<std::string> filesStartingWith(const std::filesystem::path& dir,
                                           const std::string& prefix) {
    std::vector<std::string> found;
    std::error_code ec;
    for (const auto& item : std::filesystem::directory_iterator(dir, ec)) {
        std::string name = item.path().filename().string();
        if (name.compare(0, prefix.size(), prefix) == 0) found.push_back(name);
    }
    return found;
}

// Tells when a file whose name starts with `prefix` appears in `dir`.
class CreationWatch {
public:
    CreationWatch(const std::filesystem::path& dir, std::string prefix)
        : prefix_(std::move(prefix)) {
        fd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (fd_ >= 0 && ::inotify_add_watch(fd_, dir.c_str(), IN_CREATE) < 0) {
            ::close(fd_);
            fd_ = -1;
        }
    }
    ~CreationWatch() {
        if (fd_ >= 0) ::close(fd_);
    }
    CreationWatch(const CreationWatch&) = delete;
    CreationWatch& operator=(const CreationWatch&) = delete;

    bool usable() const { return fd_ >= 0; }
    // False when nothing of the kind appeared within `timeoutMs`.
    bool wait(int timeoutMs) {
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            pollfd p{fd_, POLLIN, 0};
            if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0)
                return false;
            alignas(inotify_event) char buffer[4096];
            const ssize_t n = ::read(fd_, buffer, sizeof buffer);
            for (ssize_t at = 0; at < n;) {
                const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
                if (event->len > 0 && std::string_view(event->name).starts_with(prefix_))
                    return true;
                at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            }
        }
    }

private:
    int fd_ = -1;
    std::string prefix_;
};

// Where a kill lands: `delay` microseconds after the writer starts, or after
// it created a temporary file when `fromTemporary`.
struct KillMoment {
    std::uint32_t delay = 0;
    bool fromTemporary = false;
    std::string text() const {
        return "kill " + std::to_string(delay) + " us after " +
               (fromTemporary ? "the temporary file appeared" : "the writer started");
    }
};

// A child that runs `work` and dies with the test should the test die first.
pid_t spawnWriter(const std::function<void()>& work) {
    const pid_t parent = getpid();
    return forkChild([&] {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) _exit(2);
        work();
    });
}

// Waits for the moment, kills the child and reaps it. False when the child
// had already ended on its own, or never wrote (then it did not do its job).
bool killAt(pid_t pid, const KillMoment& moment, CreationWatch& watch, int* status) {
    bool wrote = !moment.fromTemporary || watch.wait(10000);
    if (wrote && moment.delay > 0) ::usleep(moment.delay);
    ::kill(pid, SIGKILL);
    *status = waitFor(pid);
    return wrote && *status == 128 + SIGKILL;
}

// Every other kill aims at the temporary file's short life, which ends in
// the first half of a whole file write (the rename takes the longest); the
// others fall anywhere in `loopMicroseconds`.
KillMoment killMoment(std::mt19937_64& random, int round, double loopMicroseconds,
                      double fileWriteMicroseconds) {
    KillMoment moment;
    moment.fromTemporary = round % 2 == 1;
    const double span = moment.fromTemporary ? fileWriteMicroseconds / 2 : loopMicroseconds;
    moment.delay =
        std::uniform_int_distribution<std::uint32_t>(0, static_cast<std::uint32_t>(span))(random);
    return moment;
}

template <class F>
double microsecondsPerCall(int calls, F f) {
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < calls; ++i) f(i);
    std::chrono::duration<double, std::micro> spent = std::chrono::steady_clock::now() - start;
    return spent.count() / calls;
}

// A domain of about half a megabyte, so that writing it takes long enough for
// kills to land inside the write. `variant` makes the two contents differ
// all the way through.
cf::Dictionary sizeableDomain(int variant) {
    cf::Array cards;
    for (int i = 0; i < 100; ++i) {
        cf::Dictionary card;
        card.set("Slot", "SLOT-" + std::to_string(i));
        card.set("Model", "Radeon 9800 Pro variant " + std::to_string(variant));
        card.set("VPU", cf::CFNumberCreateReal(cf::kCFNumberFloatType, 380.0 + i + variant));
        card.set("Memory", cf::CFNumberCreateReal(cf::kCFNumberFloatType, 340.0 + i - variant));
        card.set("Stock VPU", cf::CFNumberCreateReal(cf::kCFNumberFloatType, 380.0));
        card.set("Stock Memory", cf::CFNumberCreateReal(cf::kCFNumberFloatType, 340.0));
        cards.push_back(std::move(card));
    }
    cf::Dictionary domain;
    domain.set("Set at Startup", variant == 1);
    domain.set("Cards", std::move(cards));
    // Bulk that is quick to encode but long to write out, so that the file
    // write is a good part of the call.
    cf::Data bulk(256 << 10);
    for (std::size_t i = 0; i < bulk.size(); ++i)
        bulk[i] = static_cast<std::uint8_t>(i * 131 + variant);
    domain.set("Bulk", std::move(bulk));
    return domain;
}

TEST(CrashSafety, UserDefaultsDomainSurvivesKilledWriters) {
    const std::uint64_t seed = testSeed();
    SCOPED_TRACE(seedTrace(seed));
    std::mt19937_64 random(seed);
    TempSimMac mac;
    NSUserDefaults& defaults = NSUserDefaults::standardUserDefaults();
    const std::array<cf::Dictionary, 2> contents{sizeableDomain(0), sizeableDomain(1)};
    const std::array<std::string, 2> bytes{cf::toXMLPropertyList(contents[0]),
                                           cf::toXMLPropertyList(contents[1])};
    const std::filesystem::path file = host::preferencesDir() / (kDomain + ".plist");
    const std::string tempPrefix = "." + kDomain + ".plist.";
    // Either content, found whole in the file, reads back as itself; so after
    // each kill comparing the bytes is enough.
    for (int i = 0; i < 2; ++i) {
        defaults.setPersistentDomain(contents[i], kDomain);
        std::optional<cf::Dictionary> read = defaults.persistentDomainForName(kDomain);
        ASSERT_TRUE(read.has_value());
        ASSERT_EQ(cf::toXMLPropertyList(*read), bytes[i]);
    }

    // Time a whole call and the file write alone, to scale the kill delays:
    // those from the writer's start reach across a few calls.
    const double callMicroseconds = microsecondsPerCall(
        4, [&](int i) { defaults.setPersistentDomain(contents[i % 2], kDomain); });
    const double fileWriteMicroseconds = microsecondsPerCall(4, [&](int i) {
        ASSERT_TRUE(host::writeFileAtomically(host::preferencesDir() / "timing.plist", bytes[i % 2],
                                              nullptr));
    });
    std::filesystem::remove(host::preferencesDir() / "timing.plist");
    defaults.setPersistentDomain(contents[1], kDomain);

    int killedMidWrite = 0, heldSecond = 0;
    int held = 1;  // the content the file holds: the last timed write's
    for (int round = 0; round < kKills; ++round) {
        const KillMoment moment =
            killMoment(random, round, 2 * callMicroseconds, fileWriteMicroseconds);
        SCOPED_TRACE("round " + std::to_string(round) + ": " + moment.text());
        CreationWatch watch(host::preferencesDir(), tempPrefix);
        ASSERT_TRUE(watch.usable());
        pid_t writer = spawnWriter([&] {
            // Alternates between the contents, starting with the one the
            // file does not hold yet.
            for (int i = 1; i < 100000; ++i)
                defaults.setPersistentDomain(contents[(held + i) % 2], kDomain);
        });
        ASSERT_GT(writer, 0);
        int status = 0;
        ASSERT_TRUE(killAt(writer, moment, watch, &status))
            << "the writer did not write, status " << status;

        const std::string now = readFile(file);
        ASSERT_TRUE(now == bytes[0] || now == bytes[1])
            << "the domain file holds neither content (" << now.size() << " bytes)";
        held = now == bytes[0] ? 0 : 1;
        heldSecond += held;

        // A writer keeps unreadable files aside; a whole file never needs it.
        EXPECT_TRUE(filesStartingWith(host::preferencesDir(), kDomain + ".plist.corrupt").empty());
        // Only the killed writer's own temporary file may be left.
        std::vector<std::string> temps = filesStartingWith(host::preferencesDir(), tempPrefix);
        ASSERT_LE(temps.size(), 1u) << "temporary files pile up, e.g. " << temps.front();
        if (!temps.empty()) ++killedMidWrite;
    }
    // The kills landed inside writes (between creating the temporary file and
    // renaming it), else this test would prove nothing.
    EXPECT_GT(killedMidWrite, 0);
    std::printf(
        "%d kills (one call %.0f us, its file write %.0f us): %d before the rename, %d left the "
        "second "
        "content\n",
        kKills, callMicroseconds, fileWriteMicroseconds, killedMidWrite, heldSecond);

    // The next write removes what the last killed writer left.
    defaults.setPersistentDomain(contents[0], kDomain);
    EXPECT_EQ(readFile(file), bytes[0]);
    EXPECT_TRUE(filesStartingWith(host::preferencesDir(), tempPrefix).empty());
}

// --- Clock driver commands ------------------------------------------------

const std::string kATIDriver = driverPath("ATY,Radeon");
const std::string kNVIDIADriver = driverPath("NVDA,Display");

// One write command of the sequence a writer sends: which is fixed by the
// seed, the round and the index, so the test knows every command a killed
// writer had sent.
struct Write {
    bool ati = true;
    std::uint32_t offset = 0;  // NVIDIA only
    std::uint32_t value = 0;   // the PLL word for ATI, never with a zero divider
};

Write writeAt(std::uint64_t seed, int round, int index) {
    std::uint64_t r =
        mix(seed ^ (static_cast<std::uint64_t>(round) << 32) ^ static_cast<std::uint32_t>(index));
    Write w;
    w.ati = (r & 1) != 0;
    if (w.ati) {
        auto divider = [&](int shift) {
            return static_cast<std::uint32_t>(1 + ((r >> shift) % 255));
        };
        w.value = divider(8) | divider(16) << 8 | divider(24) << 16;
    } else {
        w.offset = driverrules::kNVIDIAWrites[(r >> 8) % driverrules::kNVIDIAWrites.size()];
        w.value = static_cast<std::uint32_t>(r >> 32);
    }
    return w;
}

struct CardState {
    Registers ati, nvidia;
    bool operator==(const CardState&) const = default;
};

void apply(CardState& state, const Write& w) {
    if (w.ati)
        state.ati["PLL"] = w.value;
    else
        state.nvidia[host::registerKey(w.offset)] = w.value;
}

std::string describe(const CardState& state) {
    std::string text;
    for (const auto* regs : {&state.ati, &state.nvidia}) {
        text += regs == &state.ati ? "ATI {" : " NVIDIA {";
        for (const auto& [key, value] : *regs) text += " " + key + "=" + std::to_string(value);
        text += " }";
    }
    return text;
}

// The cards as the reader sees them, or as a checkpoint holds them.
CardState cardStateOf(const host::Machine& machine) {
    CardState state;
    for (const auto& [key, value] : machine.find(kATIDriver)->hardware->registers)
        state.ati[key] = value;
    for (const auto& [key, value] : machine.find(kNVIDIADriver)->hardware->registers)
        state.nvidia[key] = value;
    return state;
}

host::DriverLogRecord recordOf(const Write& w, std::uint64_t seq) {
    host::DriverLogRecord r;
    r.seq = seq;
    r.driver = w.ati ? kATIDriver : kNVIDIADriver;
    r.command = w.ati ? 2 : 12;
    r.name = host::driverCommandName(r.command);
    r.argument = w.ati ? std::int64_t{w.value} : std::int64_t{w.offset};
    if (!w.ati) r.argument2 = std::int64_t{w.value};
    r.registerKey = w.ati ? std::string("PLL") : host::registerKey(w.offset);
    r.registerValue = w.value;
    return r;
}

TEST(CrashSafety, DriverJournalAndCheckpointSurviveKilledSenders) {
    const std::uint64_t seed = testSeed();
    SCOPED_TRACE(seedTrace(seed));
    std::mt19937_64 random(seed);
    TempSimMac mac;
    CardState model;
    model.ati = {{"PLL", 0x0A6464}, {"0xF8", 0x20000000}};
    model.nvidia = {{"0x101000", 0x400000}, {"0x4000", 0x80010A05}, {"0x4004", 0x02010F01}};
    mac.writeMachine(
        machine({cardEntry("ATY,Radeon", 0x1002, driverEntry("ATI", model.ati)),
                 cardEntry("NVDA,Display", 0x10DE, driverEntry("NVIDIA", model.nvidia))}));
    std::map<std::string, io_object_t> drivers;
    for (io_object_t d : matching(kDriverName))
        drivers[pathOf(d).substr(std::string("IOService:/").size())] = d;
    ASSERT_EQ(drivers.size(), 2u);

    auto sendWrite = [&](const Write& w) {
        return w.ati ? send(drivers[kATIDriver], 2, w.value)
                     : send(drivers[kNVIDIADriver], 12, w.offset, w.value);
    };
    // The cards after each seq, to check a checkpoint against the records
    // it claims to hold.
    std::map<std::uint64_t, CardState> history{{0, model}};

    // The test's own commands (round -1) time one command to scale the kill
    // delays, which then reach across several commands and checkpoints.
    constexpr int kWarmUp = 40;
    const double commandMicroseconds = microsecondsPerCall(kWarmUp, [&](int i) {
        Write w = writeAt(seed, -1, i);
        EXPECT_EQ(sendWrite(w), kIOReturnSuccess);
        apply(model, w);
        history[static_cast<std::uint64_t>(i) + 1] = model;
    });
    std::string error;
    ASSERT_EQ(cardStateOf(*host::currentMachine(&error)), model);
    const double checkpointMicroseconds =
        microsecondsPerCall(4, [&](int) { ASSERT_TRUE(host::checkpointMachine(&error)) << error; });

    // Each sender writes a checkpoint after every fifth command, as the
    // journal's bound and the console do, so that kills land in those too.
    constexpr int kCheckpointAfter = 5;
    const std::filesystem::path logPath = mac.root() / "Library" / "Logs" / "driver.jsonl";
    std::size_t logged = kWarmUp;
    std::optional<Write> whole;  // a killed sender's line that lacks only its newline
    std::string lastUnfinished;
    int killedMidCheckpoint = 0, commandsLogged = 0, unfinishedLines = 0, checkpointsSeen = 0;
    std::uint64_t lastCheckpointSeq = 0;
    for (int round = 0; round < kKills; ++round) {
        const KillMoment moment =
            killMoment(random, round, 500 + 8 * commandMicroseconds, 2 * checkpointMicroseconds);
        SCOPED_TRACE("round " + std::to_string(round) + ": " + moment.text());
        CreationWatch watch(mac.root(), ".machine.plist.");
        ASSERT_TRUE(watch.usable());
        pid_t sender = spawnWriter([&] {
            for (int i = 0; i < 100000; ++i) {
                if (sendWrite(writeAt(seed, round, i)) != kIOReturnSuccess) _exit(3);
                if (i % kCheckpointAfter == kCheckpointAfter - 1 &&
                    !host::checkpointMachine(nullptr))
                    _exit(4);
            }
        });
        ASSERT_GT(sender, 0);
        int status = 0;
        ASSERT_TRUE(killAt(sender, moment, watch, &status))
            << "the sender did not write, status " << status;

        // The commands the journal may hold next, in order: the line the
        // last killed sender left without its newline (which this sender's
        // first command mends), then this sender's.
        std::vector<Write> queue;
        if (whole) queue.push_back(*whole);
        for (int i = 0; i < 4096; ++i) queue.push_back(writeAt(seed, round, i));

        // Every complete line is a record. The kernel may cut a write that
        // crosses a page of the file, so a sender killed inside its append
        // can leave the start of its line without a newline; the next
        // command mends that, and no reader takes it meanwhile.
        const std::string logBytes = readFile(logPath);
        const std::size_t lastNewline = logBytes.rfind('\n');
        const std::string unfinished =
            logBytes.substr(lastNewline == std::string::npos ? 0 : lastNewline + 1);
        std::vector<host::DriverLogRecord> log = mac.driverLog();
        ASSERT_FALSE(HasFailure()) << "a driver log line does not parse";
        ASSERT_GE(log.size(), logged);

        // The new records are the queue's first commands, numbered on from
        // the last record, each carrying the register it set.
        const std::size_t sent = log.size() - logged;
        ASSERT_LT(sent, queue.size());
        for (std::size_t i = 0; i < sent; ++i) {
            const host::DriverLogRecord& r = log[logged + i];
            const host::DriverLogRecord want = recordOf(queue[i], logged + i + 1);
            ASSERT_EQ(host::formatDriverLogLine(r), host::formatDriverLogLine(want));
            apply(model, queue[i]);
            history[r.seq] = model;
        }
        logged = log.size();
        commandsLogged += static_cast<int>(sent);
        // A sender killed before its first command leaves the last one's
        // torn line as it was.
        const bool untouched = sent == 0 && !unfinished.empty() && unfinished == lastUnfinished;
        if (!untouched) {
            whole.reset();
            if (!unfinished.empty()) {
                const std::string line =
                    host::formatDriverLogLine(recordOf(queue[sent], logged + 1));
                ASSERT_TRUE(line.starts_with(unfinished))
                    << "the driver log ends in a torn line that is not the killed sender's: "
                    << unfinished;
                ++unfinishedLines;
                if (unfinished == line) whole = queue[sent];
            }
        }
        lastUnfinished = unfinished;

        // The machine is exactly the replay of the complete records: no
        // command is in one and not the other.
        std::shared_ptr<const host::Machine> now = host::currentMachine(&error);
        ASSERT_TRUE(now) << error;
        ASSERT_EQ(cardStateOf(*now), model) << "the cards hold " << describe(cardStateOf(*now))
                                            << "; the log leads to " << describe(model);

        // The checkpoint holds exactly the records up to the seq it names.
        std::optional<cf::Value> plist =
            cf::readPropertyListFile((mac.root() / "machine.plist").string(), &error);
        ASSERT_TRUE(plist) << error;
        std::optional<host::CheckpointMark> mark;
        std::optional<host::Machine> checkpoint =
            host::machineFromPropertyList(*plist, &error, &mark);
        ASSERT_TRUE(checkpoint && mark) << error;
        ASSERT_LE(mark->seq, logged);
        ASSERT_EQ(cardStateOf(*checkpoint), history.at(mark->seq))
            << "checkpoint of seq " << mark->seq;
        if (mark->seq != lastCheckpointSeq) ++checkpointsSeen;
        lastCheckpointSeq = mark->seq;

        // Only the killed sender's own temporary file may be left.
        std::vector<std::string> temps = filesStartingWith(mac.root(), ".machine.plist.");
        ASSERT_LE(temps.size(), 1u) << "temporary files pile up, e.g. " << temps.front();
        if (!temps.empty()) ++killedMidCheckpoint;
    }
    // Kills landed inside checkpoint writes and inside appends, else this
    // test would prove little.
    EXPECT_GT(killedMidCheckpoint, 0);
    EXPECT_GT(checkpointsSeen, kKills / 4);
    std::printf(
        "%d kills (one command %.0f us, a checkpoint %.0f us): %d commands logged, %d kills "
        "inside a checkpoint write, %d inside the journal append, %d checkpoints seen\n",
        kKills, commandMicroseconds, checkpointMicroseconds, commandsLogged, killedMidCheckpoint,
        unfinishedLines, checkpointsSeen);

    // A command after all this works, is logged next and removes what the
    // last killed sender left.
    if (whole) {
        apply(model, *whole);
        ++logged;
    }
    Write last = writeAt(seed, -2, 0);
    ASSERT_EQ(sendWrite(last), kIOReturnSuccess);
    apply(model, last);
    EXPECT_EQ(cardStateOf(*host::currentMachine(&error)), model);
    std::vector<host::DriverLogRecord> log = mac.driverLog();
    ASSERT_EQ(log.size(), logged + 1);
    EXPECT_EQ(log.back().seq, logged + 1);
    EXPECT_EQ(readFile(logPath).back(), '\n');
    ASSERT_TRUE(host::checkpointMachine(&error)) << error;
    EXPECT_TRUE(filesStartingWith(mac.root(), ".machine.plist.").empty());
}

}  // namespace
