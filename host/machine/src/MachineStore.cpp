// The one reader of the simulated machine: machine.plist (the checkpoint)
// with the complete records of driver.jsonl after its seq replayed. Each
// process keeps the parsed checkpoint and the machine it has replayed so
// far, and reads only the bytes the journal gained since. Writers, under the
// machine lock, write the checkpoint and begin a new journal here.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>
#include <mutex>

#include "ClockDriver.h"
#include "MachineStore.h"
#include "host/DriverLog.h"
#include "host/Log.h"
#include "host/RegularFile.h"
#include "host/SimMac.h"

namespace host {

namespace {

// A file's identity and version as stat shows them.
struct FileStamp {
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = 0;
    std::int64_t mtime = 0;  // nanoseconds
    std::int64_t ctime = 0;

    bool operator==(const FileStamp&) const = default;
};

std::int64_t nanoseconds(const timespec& t) {
    return static_cast<std::int64_t>(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
}

FileStamp stampOf(const struct stat& st) {
    return FileStamp{st.st_dev, st.st_ino, st.st_size, nanoseconds(st.st_mtim),
                     nanoseconds(st.st_ctim)};
}

// A file unchanged for this long when its stamp was taken is known by its
// stamp: a later change gets a later time. A younger file is compared byte
// for byte, since one replaced within the same tick of the file system's
// clock, by a file of the same size on a reused inode, would look the same.
constexpr std::int64_t kSettledNanoseconds = 100'000'000;

bool settledNow(const FileStamp& stamp) {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    return nanoseconds(now) - std::max(stamp.mtime, stamp.ctime) > kSettledNanoseconds;
}

struct Checkpoint {
    FileStamp stamp;
    bool settled = false;
    std::string bytes;
    std::shared_ptr<const Machine> machine;
    std::optional<CheckpointMark> mark;
};

struct JournalPosition {
    bool known = false;  // false: read it from the checkpoint's mark on
    dev_t dev = 0;
    ino_t ino = 0;
    std::string lastLine;        // the last whole line read, with its newline
    bool fromMark = false;       // read from the checkpoint's mark on, not from the start
    std::size_t lineNumber = 1;  // of the next line, counted from where reading began
};

struct Cache {
    std::optional<Checkpoint> checkpoint;
    JournalPosition journal;
    MachineView view;
};

std::mutex cacheMutex;
// Keyed by machine.plist's path, so a new SIMMAC_ROOT never sees another
// root's machine.
std::map<std::string, Cache> caches;

std::string errnoMessage(const std::filesystem::path& path, int code) {
    return path.string() + ": " + std::strerror(code);
}

// Bytes [from, to) of the file; false when they cannot all be read.
bool readRange(int fd, off_t from, off_t to, std::string& out) {
    out.resize(static_cast<std::size_t>(to - from));
    std::size_t done = 0;
    while (done < out.size()) {
        const ssize_t n =
            ::pread(fd, out.data() + done, out.size() - done, from + static_cast<off_t>(done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// Parses machine.plist into the cache when its bytes changed since the last
// look. `changed` tells whether they did.
bool refreshCheckpoint(Cache& cache, const std::filesystem::path& path, bool* absent,
                       std::string* error, bool* changed) {
    *changed = false;
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && cache.checkpoint &&
        cache.checkpoint->settled && cache.checkpoint->stamp == stampOf(st))
        return true;

    // Never through a link, never waiting on a FIFO or a device.
    const int fd = openFileForReading(path, Links::Refuse, error, absent);
    if (fd < 0) return false;
    std::string bytes;
    const bool read =
        ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && readRange(fd, 0, st.st_size, bytes);
    const int code = errno;
    ::close(fd);
    if (!read) {
        if (error)
            *error = S_ISREG(st.st_mode) ? errnoMessage(path, code)
                                         : path.string() + ": not a regular file";
        return false;
    }
    const FileStamp stamp = stampOf(st);
    if (cache.checkpoint && cache.checkpoint->bytes == bytes) {
        cache.checkpoint->stamp = stamp;
        cache.checkpoint->settled = settledNow(stamp);
        return true;
    }

    std::optional<CheckpointMark> mark;
    std::optional<Machine> machine = parseMachineFile(path, bytes, error, &mark);
    if (!machine) return false;
    cache.checkpoint = Checkpoint{stamp, settledNow(stamp), std::move(bytes),
                                  std::make_shared<const Machine>(std::move(*machine)), mark};
    *changed = true;
    return true;
}

// Where the journal's records after the checkpoint begin: at its mark when
// the line before it is the record the mark names, else (a journal replaced
// or cut since) at the start.
std::size_t startFromMark(Cache& cache, int fd, off_t size) {
    cache.journal.lastLine.clear();
    cache.journal.lineNumber = 1;
    cache.journal.fromMark = false;
    const CheckpointMark& mark = *cache.checkpoint->mark;
    const auto offset = static_cast<off_t>(mark.journalOffset);
    if (offset == 0 || offset > size) return 0;
    constexpr off_t kLookBack = 4096;
    std::string tail;
    const off_t from = offset > kLookBack ? offset - kLookBack : 0;
    if (!readRange(fd, from, offset, tail) || tail.empty() || tail.back() != '\n') return 0;
    const std::size_t begin = tail.rfind('\n', tail.size() - 2);
    if (begin == std::string::npos && from > 0) return 0;
    const std::size_t lineStart = begin == std::string::npos ? 0 : begin + 1;
    std::string line = tail.substr(lineStart);
    std::optional<DriverLogRecord> record =
        parseDriverLogLine(std::string_view(line).substr(0, line.size() - 1));
    if (!record || record->seq != mark.seq) return 0;
    cache.journal.lastLine = std::move(line);
    cache.journal.fromMark = true;
    return static_cast<std::size_t>(offset);
}

void startOver(Cache& cache) {
    const Checkpoint& checkpoint = *cache.checkpoint;
    cache.view = MachineView{checkpoint.machine, checkpoint.mark,
                             checkpoint.mark ? checkpoint.mark->seq : 0, 0, 0};
    cache.journal = JournalPosition{};
}

// Replays the journal's new complete lines onto the cached view.
bool refreshJournal(Cache& cache, const std::filesystem::path& path, std::string* error) {
    if (!cache.checkpoint->mark) {
        // A machine file written by hand holds everything logged before it.
        startOver(cache);
        return true;
    }
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) {
        if (errno != ENOENT) {
            if (error) *error = errnoMessage(path, errno);
            return false;
        }
        if (cache.journal.known || cache.view.journalLength > 0) startOver(cache);
        return true;
    }
    JournalPosition& journal = cache.journal;
    MachineView& view = cache.view;
    const bool sameFile = journal.known && journal.dev == st.st_dev && journal.ino == st.st_ino &&
                          static_cast<std::uint64_t>(st.st_size) >= cache.view.journalLength;
    if (sameFile && static_cast<std::uint64_t>(st.st_size) == cache.view.journalLength) {
        view.tornTail = false;
        return true;
    }

    const int fd = openFileForReading(path, Links::Refuse, error);
    if (fd < 0) return false;
    if (::fstat(fd, &st) != 0) {
        if (error) *error = errnoMessage(path, errno);
        ::close(fd);
        return false;
    }
    std::string bytes;
    bool fresh = !sameFile || journal.dev != st.st_dev || journal.ino != st.st_ino;
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (fresh) {
            startOver(cache);
            cache.view.journalLength = startFromMark(cache, fd, st.st_size);
            journal.known = true;
            journal.dev = st.st_dev;
            journal.ino = st.st_ino;
        }
        const auto from = static_cast<off_t>(cache.view.journalLength - journal.lastLine.size());
        if (!readRange(fd, from, st.st_size, bytes)) {
            if (error) *error = errnoMessage(path, errno ? errno : EIO);
            ::close(fd);
            return false;
        }
        // The line read last must still be where it was, else the journal
        // was replaced by another and is read anew.
        if (bytes.compare(0, journal.lastLine.size(), journal.lastLine) == 0) break;
        fresh = true;
    }
    ::close(fd);

    const std::string_view added = std::string_view(bytes).substr(journal.lastLine.size());
    const std::size_t end = added.rfind('\n');
    view.tornTail = end + 1 != added.size();
    if (end == std::string_view::npos) return true;  // no whole line yet
    const std::string_view lines = added.substr(0, end + 1);
    std::string problems;
    // Lines are numbered from the file's start, or from the mark's record
    // when the journal was read from there.
    const std::string where = journal.fromMark
                                  ? path.string() + " after seq " + std::to_string(view.mark->seq)
                                  : path.string();
    const std::vector<DriverLogRecord> records =
        parseDriverLogLines(lines, where, journal.lineNumber, &problems);
    if (!problems.empty()) logOnce(problems);

    std::shared_ptr<Machine> changed;
    for (const DriverLogRecord& record : records) {
        view.lastSeq = std::max(view.lastSeq, record.seq);
        if (record.seq <= view.mark->seq) continue;
        ++view.recordsSinceCheckpoint;
        if (!driverLogRecordHasEffect(record)) continue;
        if (!changed) changed = std::make_shared<Machine>(*view.machine);
        applyDriverLogRecord(*changed, record);
    }
    if (changed) view.machine = std::move(changed);
    view.journalLength += lines.size();
    const std::size_t lastStart = lines.rfind('\n', lines.size() - 2);
    journal.lastLine =
        std::string(lines.substr(lastStart == std::string_view::npos ? 0 : lastStart + 1));
    journal.lineNumber += static_cast<std::size_t>(std::count(lines.begin(), lines.end(), '\n'));
    return true;
}

}  // namespace

std::optional<MachineView> readMachineView(bool* absent, std::string* error) {
    *absent = false;
    const std::filesystem::path machinePath = machinePlistPath();
    std::lock_guard<std::mutex> guard(cacheMutex);
    Cache& cache = caches[machinePath.string()];
    bool changed = false;
    if (!refreshCheckpoint(cache, machinePath, absent, error, &changed)) return std::nullopt;
    if (changed) startOver(cache);
    if (!refreshJournal(cache, driverLogPath(), error)) return std::nullopt;
    return cache.view;
}

bool writeCheckpointLocked(const Machine& machine, const CheckpointMark& mark, std::string* error) {
    const std::filesystem::path path = machinePlistPath();
    std::string bytes = cf::toXMLPropertyList(machineToPropertyList(machine, mark));
    if (!writeFileAtomically(path, bytes, error)) return false;
    struct stat st {};
    std::lock_guard<std::mutex> guard(cacheMutex);
    Cache& cache = caches[path.string()];
    if (::stat(path.c_str(), &st) != 0) {
        cache = Cache{};
        return true;
    }
    cache.checkpoint = Checkpoint{stampOf(st), false, std::move(bytes),
                                  std::make_shared<const Machine>(machine), mark};
    startOver(cache);
    return true;
}

void noteAppendedLocked(const MachineView& before, const DriverLogRecord& record,
                        std::uint64_t journalLength) {
    std::string line = formatDriverLogLine(record) + "\n";
    std::lock_guard<std::mutex> guard(cacheMutex);
    Cache& cache = caches[machinePlistPath().string()];
    MachineView& view = cache.view;
    // Only onto the very view the record followed; else the next read
    // finds the record in the journal.
    if (!cache.checkpoint || !cache.journal.known || view.machine != before.machine ||
        view.journalLength != before.journalLength || view.mark != before.mark ||
        journalLength != before.journalLength + line.size())
        return;
    view.lastSeq = std::max(view.lastSeq, record.seq);
    if (view.mark && record.seq > view.mark->seq) {
        ++view.recordsSinceCheckpoint;
        if (driverLogRecordHasEffect(record)) {
            auto changed = std::make_shared<Machine>(*view.machine);
            applyDriverLogRecord(*changed, record);
            view.machine = std::move(changed);
        }
    }
    view.journalLength = journalLength;
    cache.journal.lastLine = std::move(line);
    ++cache.journal.lineNumber;
}

std::optional<MachineView> readMachineViewLocked(std::string* error) {
    const std::string journal = driverLogPath().string();
    bool absent = false;
    std::optional<MachineView> view = readMachineView(&absent, error);
    if (view && view->mark && !view->tornTail) return view;
    // A writer killed in its append left part of a line: mend it, so that
    // the next record follows on a line of its own.
    std::string why;
    if (!finishDriverLogTail(journal, &why)) logOnce(why);
    view = readMachineView(&absent, error);
    if (view && view->mark) return view;
    if (!view && !absent) return std::nullopt;
    // A fresh Mac, or a machine file without a mark: it holds everything
    // logged so far, so the next record is the first after it.
    std::error_code ec;
    const std::uintmax_t length = std::filesystem::file_size(journal, ec);
    const CheckpointMark mark{lastDriverLogSeq(journal), ec ? 0 : length};
    const Machine machine = view ? *view->machine : defaultMachine();
    if (!writeCheckpointLocked(machine, mark, error)) return std::nullopt;
    return readMachineView(&absent, error);
}

bool startNewJournalLocked(const MachineView& view, std::string* error) {
    // The machine is first checkpointed whole, so that it never depends on
    // the old journal; the checkpoint of the new one follows its move.
    const std::string journal = driverLogPath().string();
    const std::string kept = journal + ".old";
    if (!writeCheckpointLocked(*view.machine, CheckpointMark{view.lastSeq, view.journalLength},
                               error))
        return false;
    if (::rename(journal.c_str(), kept.c_str()) != 0 && errno != ENOENT) {
        if (error) *error = journal + ": cannot be kept as " + kept + ": " + std::strerror(errno);
        return false;
    }
    if (!writeCheckpointLocked(*view.machine, CheckpointMark{0, 0}, error)) return false;
    NSLog("%s reached the last seq, %llu; kept as %s, a new journal begins\n", journal.c_str(),
          static_cast<unsigned long long>(kLastDriverLogSeq), kept.c_str());
    return true;
}

}  // namespace host
