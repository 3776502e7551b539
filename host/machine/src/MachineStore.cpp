// The one reader of the simulated machine: machine.plist (the checkpoint)
// with the complete records of driver.jsonl after its mark replayed. Each
// process keeps the parsed checkpoint, the machine it has replayed so far
// and the journal open, and at each look learns whether another process
// changed the machine from the checkpoint's identity (its inode, size and
// times) and the journal's size, reading only what the journal gained.
// Writers, under the machine lock, append records, write checkpoints and
// rotate the journal here.
#include "MachineStore.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>

#include "ClockDriver.h"
#include "MachinePaths.h"
#include "host/DriverLog.h"
#include "host/Log.h"
#include "host/OwnProcess.h"
#include "host/MachineControl.h"
#include "host/RegularFile.h"
#include "host/SimMac.h"

namespace host {

namespace {

std::int64_t nanoseconds(const timespec& t) {
    return static_cast<std::int64_t>(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
}

// A file's identity and version as stat shows them.
struct FileStamp {
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = 0;
    std::int64_t mtime = 0;  // nanoseconds
    std::int64_t ctime = 0;

    bool operator==(const FileStamp&) const = default;
};

FileStamp stampOf(const struct stat& st) {
    return FileStamp{st.st_dev, st.st_ino, st.st_size, nanoseconds(st.st_mtim),
                     nanoseconds(st.st_ctim)};
}

// Whether a stamp taken now names its file's version for good. Every later
// change of the file (or a new file on a reused inode) gets a change time
// no earlier than the file system's coarse clock at that moment, so once
// that clock has passed the stamp's change time no later version can carry
// the same stamp. Until then (a tick, a few milliseconds) the bytes are
// compared.
bool settledNow(const FileStamp& stamp) {
    timespec coarse{};
    ::clock_gettime(CLOCK_REALTIME_COARSE, &coarse);
    return stamp.ctime < nanoseconds(coarse);
}

struct Checkpoint {
    FileStamp stamp;
    bool settled = false;
    std::string bytes;
    std::shared_ptr<const Machine> machine;
    std::optional<CheckpointMark> mark;
};

// driver.jsonl as this process has it open and has read it.
struct OpenJournal {
    int fd = -1;
    bool writable = false;
    dev_t dev = 0;
    ino_t ino = 0;
    // The view holds the file's whole lines up to view.journalLength.
    bool known = false;
    // The last whole line read, with its newline: while it stands where it
    // was read, the file is the one read.
    std::string lastLine;
    std::string where;           // how messages name a line: "<path>" or "<path> after seq N"
    std::size_t lineNumber = 1;  // of the next line, counted from where reading began
};

// What this process knows of the machine of one root.
struct Store {
    pid_t pid = 0;
    std::string root;
    std::optional<Checkpoint> checkpoint;
    int checkpointFd = -1;  // the file the checkpoint was read from, kept open
    OpenJournal journal;
    MachineView view;
    bool viewRead = false;       // the view holds the checkpoint and the journal as last read
    std::uint64_t firstSeq = 0;  // of the first record after the checkpoint
};

std::mutex storeMutex;
Store store;  // guarded by storeMutex

void closeJournal(Store& s) {
    if (s.journal.fd >= 0) ::close(s.journal.fd);
    s.journal = OpenJournal{};
}

void keepCheckpointFile(Store& s, int fd) {
    if (s.checkpointFd >= 0) ::close(s.checkpointFd);
    s.checkpointFd = fd;
}

// The store of the current root. A forked child starts afresh: its copies of
// the parent's descriptors are closed, never shared.
Store& currentStore(const MachinePaths& paths) {
    const pid_t pid = ownProcessID();
    if (store.pid != pid || store.root != paths.root) {
        closeJournal(store);
        keepCheckpointFile(store, -1);
        store = Store{};
        store.pid = pid;
        store.root = paths.root;
    }
    return store;
}

std::string errnoMessage(const std::string& path, int code) {
    return path + ": " + std::strerror(code);
}

enum class Outcome { Read, Absent, Refused };

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

// A machine the view may change in place: its own, else a copy of it.
Machine& ownMachine(MachineView& view) {
    if (view.machine.use_count() != 1) view.machine = std::make_shared<Machine>(*view.machine);
    // Every machine here was made without const, so it may be changed once
    // nobody else holds it.
    return const_cast<Machine&>(*view.machine);
}

void takeRecord(MachineView& view, const DriverLogRecord& record) {
    view.lastSeq = record.seq;
    ++view.recordsSinceCheckpoint;
    if (driverLogRecordHasEffect(record)) applyDriverLogRecord(ownMachine(view), record);
}

// The view of the checkpoint alone; the journal's position is then unknown.
void startOver(Store& s) {
    const Checkpoint& checkpoint = *s.checkpoint;
    s.view = MachineView{checkpoint.machine, checkpoint.mark,
                         checkpoint.mark ? checkpoint.mark->seq : 0};
    s.journal.known = false;
}

// What stands in the way of reading a rolled-back machine, and the way on.
std::string rolledBack(const std::string& what) {
    return what +
           ": the machine's state since cannot be read, and nothing was changed (simmac init "
           "starts the machine over)";
}

// Parses machine.plist into the store when its bytes changed since the
// last look; `changed` tells whether they did. The file read is kept open:
// while it keeps a name (every writer replaces it by rename, which takes
// the old file's) and its stamp, it is the checkpoint, which a reader's
// look finds without walking the path. A writer, under the lock, makes
// sure the path still leads to it, so that it never writes over a file put
// there by hand.
Outcome refreshCheckpoint(Store& s, const MachinePaths& paths, std::string* error, bool* changed) {
    *changed = false;
    struct stat st {};
    if (s.checkpointFd >= 0 && s.checkpoint && s.checkpoint->settled &&
        !MachineLock::heldByThisThread() && ::fstat(s.checkpointFd, &st) == 0 && st.st_nlink > 0 &&
        stampOf(st) == s.checkpoint->stamp)
        return Outcome::Read;
    if (::lstat(paths.machine.c_str(), &st) != 0) {
        if (errno == ENOENT || errno == ENOTDIR) return Outcome::Absent;
        if (error) *error = errnoMessage(paths.machine, errno);
        return Outcome::Refused;
    }
    if (S_ISREG(st.st_mode) && s.checkpointFd >= 0 && s.checkpoint && s.checkpoint->settled &&
        s.checkpoint->stamp == stampOf(st))
        return Outcome::Read;

    // Never through a link, never waiting on a FIFO or a device.
    bool absent = false;
    const int fd = openFileForReading(paths.machine, Links::Refuse, error, &absent);
    if (fd < 0) return absent ? Outcome::Absent : Outcome::Refused;
    std::string bytes;
    bool read = ::fstat(fd, &st) == 0;
    const int code = errno;
    if (read && static_cast<std::uint64_t>(st.st_size) > kMachineFileBytes) {
        if (error)
            *error = tooLargeToRead(paths.machine, static_cast<std::uint64_t>(st.st_size),
                                    kMachineFileBytes);
        ::close(fd);
        return Outcome::Refused;
    }
    read = read && readRange(fd, 0, st.st_size, bytes);
    if (!read) {
        if (error) *error = errnoMessage(paths.machine, code ? code : EIO);
        ::close(fd);
        return Outcome::Refused;
    }
    const FileStamp stamp = stampOf(st);
    if (s.checkpoint && s.checkpoint->bytes == bytes) {
        s.checkpoint->stamp = stamp;
        s.checkpoint->settled = settledNow(stamp);
        keepCheckpointFile(s, fd);
        return Outcome::Read;
    }
    std::optional<CheckpointMark> mark;
    std::optional<Machine> machine = parseMachineFile(paths.machine, bytes, error, &mark);
    if (!machine) {
        ::close(fd);
        return Outcome::Refused;
    }
    s.checkpoint = Checkpoint{stamp, settledNow(stamp), std::move(bytes),
                              std::make_shared<Machine>(std::move(*machine)), mark};
    keepCheckpointFile(s, fd);
    *changed = true;
    return Outcome::Read;
}

// The line of the file that ends at `offset`, with its newline, when it is
// the record `seq`.
std::optional<std::string> recordEndingAt(int fd, off_t offset, std::uint64_t seq) {
    const off_t from = std::max<off_t>(offset - static_cast<off_t>(kDriverLogLineBytes), 0);
    std::string tail;
    if (!readRange(fd, from, offset, tail) || tail.empty() || tail.back() != '\n')
        return std::nullopt;
    const std::size_t before =
        tail.size() > 1 ? tail.rfind('\n', tail.size() - 2) : std::string::npos;
    if (before == std::string::npos && from > 0) return std::nullopt;
    std::string line = tail.substr(before == std::string::npos ? 0 : before + 1);
    const std::optional<DriverLogRecord> record =
        parseDriverLogLine(std::string_view(line).substr(0, line.size() - 1));
    if (!record || record->seq != seq) return std::nullopt;
    return line;
}

// Replays `lines` (whole lines) onto the view; the problems of lines that
// are no records go to the system log once.
void replay(Store& s, std::string_view lines) {
    std::string problems;
    for (const DriverLogRecord& record :
         parseDriverLogLines(lines, s.journal.where, s.journal.lineNumber, &problems)) {
        if (s.view.recordsSinceCheckpoint == 0) s.firstSeq = record.seq;
        takeRecord(s.view, record);
    }
    if (!problems.empty()) logOnce(problems);
    s.journal.lineNumber += static_cast<std::size_t>(std::count(lines.begin(), lines.end(), '\n'));
}

// Reads what the open journal gained past the view's length (up to `size`)
// and replays its whole lines. False when the line read last is no longer
// where it was (the file was rewritten): then it must be read anew.
Outcome readOn(Store& s, const MachinePaths& paths, std::uint64_t size, std::string* error,
               bool* rewritten) {
    *rewritten = false;
    OpenJournal& journal = s.journal;
    MachineView& view = s.view;
    if (size - view.journalLength > kJournalReadBytes) {
        if (error)
            *error = paths.journal + ": more than " + std::to_string(kJournalReadBytes >> 20) +
                     " MiB of records after the checkpoint, which is rewritten every " +
                     std::to_string(kCheckpointEvery) + " records (could " + paths.machine +
                     " not be written?)";
        return Outcome::Refused;
    }
    std::string bytes;
    const auto from = static_cast<off_t>(view.journalLength - journal.lastLine.size());
    if (!readRange(journal.fd, from, static_cast<off_t>(size), bytes)) {
        if (error) *error = errnoMessage(paths.journal, errno ? errno : EIO);
        return Outcome::Refused;
    }
    if (bytes.compare(0, journal.lastLine.size(), journal.lastLine) != 0) {
        *rewritten = true;
        return Outcome::Read;
    }
    const std::string_view added = std::string_view(bytes).substr(journal.lastLine.size());
    const std::size_t end = added.rfind('\n');
    view.tornTail = end + 1 != added.size();
    if (end == std::string_view::npos) return Outcome::Read;  // no whole line yet
    const std::string_view lines = added.substr(0, end + 1);
    replay(s, lines);
    view.journalLength += lines.size();
    const std::size_t lastStart =
        lines.size() > 1 ? lines.rfind('\n', lines.size() - 2) : std::string_view::npos;
    journal.lastLine =
        std::string(lines.substr(lastStart == std::string_view::npos ? 0 : lastStart + 1));
    return Outcome::Read;
}

// Opens driver.jsonl, for appending where it may be written.
bool openJournal(Store& s, const MachinePaths& paths, bool create, std::string* error,
                 bool* absent) {
    *absent = false;
    OpenJournal& journal = s.journal;
    std::string why;
    int fd = openFileForWriting(paths.journal, O_RDWR | O_APPEND | (create ? O_CREAT : 0), &why);
    bool writable = fd >= 0;
    if (fd < 0 && errno == ENOENT) {
        *absent = true;
        return false;
    }
    if (fd < 0 && (errno == EACCES || errno == EROFS || errno == EPERM))
        fd = openFileForReading(paths.journal, Links::Refuse, &why, absent);
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0) {
        if (error) *error = fd < 0 ? why : errnoMessage(paths.journal, errno);
        if (fd >= 0) ::close(fd);
        return false;
    }
    journal.fd = fd;
    journal.writable = writable;
    journal.dev = st.st_dev;
    journal.ino = st.st_ino;
    journal.known = false;
    return true;
}

// Finds where the records after the checkpoint begin and reads them: at
// the mark in driver.jsonl, or in driver.jsonl.old when the journal was
// rotated after the checkpoint, then the whole of driver.jsonl. A journal
// that holds no record where the mark says is a machine rolled back.
Outcome locate(Store& s, const MachinePaths& paths, bool present, std::uint64_t size,
               std::string* error) {
    startOver(s);
    OpenJournal& journal = s.journal;
    MachineView& view = s.view;
    const CheckpointMark mark = *s.checkpoint->mark;
    const std::string seqText = std::to_string(mark.seq);
    const auto offset = static_cast<off_t>(mark.journalOffset);
    auto readFromStart = [&]() {
        journal.lastLine.clear();
        journal.where = paths.journal;
        journal.lineNumber = 1;
        view.journalLength = 0;
        bool rewritten = false;
        const Outcome outcome = present ? readOn(s, paths, size, error, &rewritten) : Outcome::Read;
        // With no journal, known to be empty until one appears.
        journal.known = outcome == Outcome::Read && !rewritten;
        return outcome;
    };

    if (mark.journalOffset == 0) {
        // Taken with no journal beside it: every record of the journal came
        // after it, and so numbers on from its seq. One that does not
        // belongs to a past the checkpoint already left behind.
        const Outcome outcome = readFromStart();
        if (outcome == Outcome::Read && view.recordsSinceCheckpoint > 0 && s.firstSeq <= mark.seq) {
            if (error)
                *error = rolledBack(paths.machine + " was checkpointed at seq " + seqText +
                                    ", past the journal " + paths.journal +
                                    ", whose records begin at seq " + std::to_string(s.firstSeq));
            return Outcome::Refused;
        }
        return outcome;
    }
    if (present && size >= mark.journalOffset) {
        if (std::optional<std::string> line = recordEndingAt(journal.fd, offset, mark.seq)) {
            journal.lastLine = std::move(*line);
            journal.where = paths.journal + " after seq " + seqText;
            journal.lineNumber = 1;
            view.journalLength = mark.journalOffset;
            bool rewritten = false;
            const Outcome outcome = readOn(s, paths, size, error, &rewritten);
            journal.known = outcome == Outcome::Read && !rewritten;
            return outcome;
        }
    }
    // Rotated since the checkpoint: its record is in driver.jsonl.old.
    bool oldAbsent = false;
    const int oldFd = openFileForReading(paths.oldJournal, Links::Refuse, nullptr, &oldAbsent);
    struct stat st {};
    if (oldFd >= 0 && ::fstat(oldFd, &st) == 0 && st.st_size >= offset) {
        if (recordEndingAt(oldFd, offset, mark.seq)) {
            std::string rest;
            const bool read =
                static_cast<std::uint64_t>(st.st_size - offset) <= kJournalReadBytes &&
                readRange(oldFd, offset, st.st_size, rest);
            ::close(oldFd);
            if (!read) {
                if (error) *error = paths.oldJournal + ": cannot be read after seq " + seqText;
                return Outcome::Refused;
            }
            journal.where = paths.oldJournal + " after seq " + seqText;
            journal.lineNumber = 1;
            replay(s, std::string_view(rest).substr(0, rest.rfind('\n') + 1));
            // Then the new journal from its start, onto the old one's records.
            const Outcome outcome = readFromStart();
            view.markInOldJournal = true;
            return outcome;
        }
    }
    if (oldFd >= 0) ::close(oldFd);
    std::string what;
    if (!present)
        what = paths.journal + " is missing";
    else if (size < mark.journalOffset)
        what = paths.journal + " holds " + std::to_string(size) + " bytes";
    else
        what = paths.journal + " has no record " + seqText + " ending there";
    if (error)
        *error = rolledBack(paths.machine + " was checkpointed at seq " + seqText + ", byte " +
                            std::to_string(mark.journalOffset) + " of the journal, but " + what);
    return Outcome::Refused;
}

// Replays what the journal gained since the last look onto the view.
Outcome refreshJournal(Store& s, const MachinePaths& paths, std::string* error) {
    if (!s.checkpoint->mark) {
        // A machine file written by hand holds everything logged before it.
        startOver(s);
        return Outcome::Read;
    }
    OpenJournal& journal = s.journal;
    struct stat named {};
    // A reader looks through the open journal while it still has a name
    // (a writer that moves it away to rotate it writes a checkpoint next,
    // which sends every reader back to the path); a writer, about to
    // append, makes sure the path still leads to it.
    bool present = false;
    if (journal.fd >= 0 && journal.known && !MachineLock::heldByThisThread() &&
        ::fstat(journal.fd, &named) == 0 && named.st_nlink > 0) {
        present = true;
    } else {
        present = ::lstat(paths.journal.c_str(), &named) == 0;
        if (!present && errno != ENOENT && errno != ENOTDIR) {
            if (error) *error = errnoMessage(paths.journal, errno);
            return Outcome::Refused;
        }
        if (present && !S_ISREG(named.st_mode)) {
            // Refused with the message every reader gives such a file.
            const int fd = openFileForReading(paths.journal, Links::Refuse, error);
            if (fd >= 0) ::close(fd);
            return Outcome::Refused;
        }
        // Removed, replaced or moved away since it was opened: open it again.
        if (journal.fd >= 0 &&
            (!present || named.st_dev != journal.dev || named.st_ino != journal.ino))
            closeJournal(s);
        if (present && journal.fd < 0) {
            bool absent = false;
            if (!openJournal(s, paths, false, error, &absent)) {
                if (!absent) return Outcome::Refused;
                present = false;
            } else if (::fstat(journal.fd, &named) != 0) {
                if (error) *error = errnoMessage(paths.journal, errno);
                return Outcome::Refused;
            }
        }
    }
    const std::uint64_t size = present ? static_cast<std::uint64_t>(named.st_size) : 0;
    MachineView& view = s.view;
    if (journal.known) {
        if (size == view.journalLength) {
            view.tornTail = false;
            return Outcome::Read;
        }
        if (size > view.journalLength) {
            bool rewritten = false;
            const Outcome outcome = readOn(s, paths, size, error, &rewritten);
            if (outcome != Outcome::Read || !rewritten) return outcome;
        }
        // Cut below what this process read, or rewritten: from the mark again.
    }
    return locate(s, paths, present, size, error);
}

Outcome refresh(Store& s, const MachinePaths& paths, std::string* error,
                bool registryOnly = false) {
    bool changed = false;
    const Outcome outcome = refreshCheckpoint(s, paths, error, &changed);
    if (outcome == Outcome::Read && !changed && registryOnly && s.viewRead) return outcome;
    s.viewRead = false;
    if (outcome == Outcome::Absent) {
        // A fresh Mac has neither; a journal without its checkpoint is a
        // machine whose state was thrown away, not a fresh one.
        struct stat st {};
        for (const std::string* journal : {&paths.journal, &paths.oldJournal}) {
            if (::lstat(journal->c_str(), &st) == 0) {
                if (error)
                    *error = rolledBack(paths.machine + " is missing, but its journal " + *journal +
                                        " is there");
                return Outcome::Refused;
            }
        }
        return Outcome::Absent;
    }
    if (outcome != Outcome::Read) return outcome;
    if (changed) startOver(s);
    const Outcome journal = refreshJournal(s, paths, error);
    // What was refused is looked at afresh next time.
    if (journal != Outcome::Read) s.journal.known = false;
    s.viewRead = journal == Outcome::Read;
    return journal;
}

}  // namespace

std::optional<MachineView> readMachineView(bool* absent, std::string* error, bool registryOnly) {
    *absent = false;
    const MachinePaths& paths = machinePaths();
    std::unique_lock<std::mutex> guard(storeMutex);
    std::string why;
    Outcome outcome = refresh(currentStore(paths), paths, &why, registryOnly);
    if (outcome == Outcome::Refused && !MachineLock::heldByThisThread()) {
        // Read without the lock, the files may have been caught between two
        // steps of a writer: look again once no writer is at work.
        guard.unlock();
        MachineLock lock;
        if (!lock.locked()) {
            if (error) *error = lock.error();
            return std::nullopt;
        }
        guard.lock();
        outcome = refresh(currentStore(paths), paths, &why);
    }
    if (outcome == Outcome::Read) return store.view;
    *absent = outcome == Outcome::Absent;
    if (error) *error = why;
    return std::nullopt;
}

bool writeCheckpointLocked(const Machine& machine, const CheckpointMark& mark, std::string* error) {
    const MachinePaths& paths = machinePaths();
    std::string bytes = cf::toXMLPropertyList(machineToPropertyList(machine, mark));
    std::lock_guard<std::mutex> guard(storeMutex);
    Store& s = currentStore(paths);
    // A modification time no other version has had: later than the last
    // checkpoint's, and to the nanosecond where a hand's edit gets the file
    // system's tick. So this process knows the file by its stamp from now on.
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    std::int64_t modified = nanoseconds(now);
    if (s.checkpoint) modified = std::max(modified, s.checkpoint->stamp.mtime + 1);
    const timespec modifiedAt{static_cast<time_t>(modified / 1'000'000'000),
                              static_cast<long>(modified % 1'000'000'000)};
    if (!writeFileAtomically(paths.machine, bytes, error, &modifiedAt)) return false;
    // Kept open as if read, unless something else took its place already.
    const int fd = openFileForReading(paths.machine, Links::Refuse, nullptr);
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0 || nanoseconds(st.st_mtim) != modified) {
        if (fd >= 0) ::close(fd);
        keepCheckpointFile(s, -1);
        s.checkpoint.reset();
        s.journal.known = false;
        return true;
    }
    keepCheckpointFile(s, fd);
    const std::uint64_t readUpTo = s.view.journalLength;
    const bool samePlace = s.journal.known && mark.journalOffset == readUpTo;
    s.checkpoint =
        Checkpoint{stampOf(st), true, std::move(bytes), std::make_shared<Machine>(machine), mark};
    startOver(s);
    if (samePlace) {
        // The journal as read so far ends where the checkpoint does.
        s.view.journalLength = readUpTo;
        s.journal.known = true;
    }
    s.viewRead = samePlace;
    return true;
}

std::optional<MachineView> readMachineViewLocked(std::string* error) {
    const MachinePaths& paths = machinePaths();
    bool absent = false;
    std::optional<MachineView> view = readMachineView(&absent, error);
    if (view && view->mark && !view->tornTail) return view;
    if (view && view->tornTail) {
        // A writer killed in its append left part of a line: mend it, so
        // that the next record follows on a line of its own (a record glued
        // to it would be lost).
        if (!finishDriverLogTail(paths.journal, error)) return std::nullopt;
        view = readMachineView(&absent, error);
        if (view && view->mark) return view;
    }
    if (!view && !absent) return std::nullopt;
    // A fresh Mac, or a machine file without a mark: it holds everything
    // logged so far, so the next record is the first after it.
    CheckpointMark mark;
    if (const std::optional<DriverLogEnd> end = lastDriverLogRecord(paths.journal))
        mark = CheckpointMark{end->seq, end->offset};
    const Machine machine = view ? *view->machine : defaultMachine();
    if (!writeCheckpointLocked(machine, mark, error)) return std::nullopt;
    return readMachineView(&absent, error);
}

std::optional<MachineView> appendRecordLocked(const DriverLogRecord& record, std::string* error) {
    const MachinePaths& paths = machinePaths();
    std::string line = formatDriverLogLine(record);
    line += '\n';
    std::lock_guard<std::mutex> guard(storeMutex);
    Store& s = currentStore(paths);
    OpenJournal& journal = s.journal;
    if (journal.fd < 0 || !journal.writable) {
        // None yet (or one this process could only read): create or open it.
        closeJournal(s);
        bool absent = false;
        if (!openJournal(s, paths, true, error, &absent)) return std::nullopt;
        if (!journal.writable) {
            if (error) *error = paths.journal + ": cannot be written to";
            return std::nullopt;
        }
        struct stat st {};
        if (::fstat(journal.fd, &st) == 0 && st.st_size == 0 && s.view.journalLength == 0) {
            journal.known = true;
            journal.lastLine.clear();
            journal.where = paths.journal;
            journal.lineNumber = 1;
        }
    }
    ssize_t written;
    do {
        written = ::write(journal.fd, line.data(), line.size());
    } while (written < 0 && errno == EINTR);
    if (written != static_cast<ssize_t>(line.size())) {
        if (error)
            *error = paths.journal + ": " + (written < 0 ? std::strerror(errno) : "short write");
        journal.known = false;
        return std::nullopt;
    }
    // Taken in without reading it back: under the lock the journal ended
    // where the view did, and an append lands at its end. (Should anything
    // else have written to it, the next look finds the last line read out
    // of place and reads the journal again from the mark.)
    MachineView& view = s.view;
    if (journal.known) {
        takeRecord(view, record);
        view.journalLength += line.size();
        journal.lastLine = std::move(line);
        ++journal.lineNumber;
        return view;
    }
    std::string why;
    const Outcome outcome = refresh(s, paths, &why);
    if (outcome == Outcome::Read) return s.view;
    if (error) *error = why;
    return std::nullopt;
}

bool keepJournalAsOldLocked(std::string* error) {
    const MachinePaths& paths = machinePaths();
    if (::rename(paths.journal.c_str(), paths.oldJournal.c_str()) != 0 && errno != ENOENT) {
        if (error)
            *error = paths.journal + ": cannot be kept as " + paths.oldJournal + ": " +
                     std::strerror(errno);
        return false;
    }
    std::lock_guard<std::mutex> guard(storeMutex);
    closeJournal(currentStore(paths));
    return true;
}

bool rotateJournalLocked(const MachineView& view, bool restartSeq, std::string* error) {
    const MachinePaths& paths = machinePaths();
    if (!keepJournalAsOldLocked(error)) return false;
    if (!restartSeq) {
        NSLog("%s passed %llu MiB; kept as %s, a new journal begins\n", paths.journal.c_str(),
              static_cast<unsigned long long>(kDriverLogRotateBytes >> 20),
              paths.oldJournal.c_str());
        return true;
    }
    // The seq starts over: the checkpoint, of everything the old journal
    // held, is the new journal's beginning.
    if (!writeCheckpointLocked(*view.machine, CheckpointMark{0, 0}, error)) return false;
    NSLog("%s reached the last seq, %llu; kept as %s, a new journal begins\n",
          paths.journal.c_str(), static_cast<unsigned long long>(kLastDriverLogSeq),
          paths.oldJournal.c_str());
    return true;
}

}  // namespace host
