// Library/Logs/driver.jsonl, the journal of the simulated hardware: one JSON
// object per command that reached a clock driver, with the command's effect
// on the card and the driver, so that the machine now is its last
// checkpoint (machine.plist) with the records after it replayed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace host {

// The last seq a record can carry: its readers, and the checkpoint's "Seq",
// take signed 64-bit numbers. A journal that reaches it starts over.
inline constexpr std::uint64_t kLastDriverLogSeq = 0x7FFFFFFFFFFFFFFF;

// A journal of this size is kept as driver.jsonl.old by the next command,
// which begins a new one (its seq goes on), as a system log is rotated: the
// two files hold the last 16 to 32 MiB of commands (75,000 or more).
inline constexpr std::uint64_t kDriverLogRotateBytes = std::uint64_t{16} << 20;
// The most readDriverLog takes of one file, above anything the host writes.
inline constexpr std::size_t kDriverLogFileBytes = std::size_t{64} << 20;
// How far back from the end a reader looks for the start of the last line;
// a record is a few hundred bytes.
inline constexpr std::size_t kDriverLogLineBytes = std::size_t{64} << 10;

struct DriverLogRecord {
    std::uint64_t seq = 0;
    std::string driver;  // path of the driver entry
    std::int64_t command = 0;
    std::string name;                      // "WriteATIPLL", ... or "Unknown"
    std::optional<std::int64_t> argument;  // null when absent or mistyped
    std::optional<std::int64_t> argument2;
    std::uint32_t result = 0;               // I/O Kit return code, 0 = accepted
    std::optional<std::uint32_t> regValue;  // published by a read command

    // The effect of an accepted command, each only when it has one: the
    // register a write set and the value it holds now ("register",
    // "registerValue"), the driver's new busy deadline ("busyUntil") and
    // its count of accepted commands ("acceptedCommands").
    std::optional<std::string> registerKey;
    std::optional<std::uint32_t> registerValue;
    std::optional<std::int64_t> busyUntil;
    std::optional<std::int64_t> acceptedCommands;
};

// Every complete line of the log, in order. A line that does not parse is
// reported through `error` and skipped. A log that is there but cannot be
// read (not a regular file, say) gives no records, `error` and `unreadable`.
// A file of more than kDriverLogFileBytes is unreadable.
std::vector<DriverLogRecord> readDriverLog(const std::string& path, std::string* error = nullptr,
                                           bool* unreadable = nullptr);
// The same records handed to `visit` one by one, the file read a block at a
// time, so that a log of any size costs a block of memory. False when the
// file is there but cannot be read (`error` says why; lines that are not
// records are named in `error` too, and skipped).
bool visitDriverLog(const std::string& path,
                    const std::function<void(const DriverLogRecord&)>& visit, std::string* error);
// The records of `text`, which holds whole lines each ending in a newline
// (anything after the last newline is left out). A line that is not a record
// is skipped and named in `problems` ("<where>:<line>: not a driver log
// record"), its number counted from `firstLine`.
std::vector<DriverLogRecord> parseDriverLogLines(std::string_view text, const std::string& where,
                                                 std::size_t firstLine, std::string* problems);
std::string formatDriverLogLine(const DriverLogRecord& record);  // without the newline
std::optional<DriverLogRecord> parseDriverLogLine(std::string_view line);

// "ReadATIPLL", ... for the command codes of the clock driver, else "Unknown".
const char* driverCommandName(std::int64_t code);
// Appends the record and its newline with one write to the file opened for
// appending, so lines from several processes never interleave. `length`,
// when given, receives the file's length after the line.
bool appendDriverLogLine(const std::string& path, const DriverLogRecord& record, std::string* error,
                         std::uint64_t* length = nullptr);
// The last complete line that parses among the last kDriverLogLineBytes of
// the file: its seq and the offset just past its newline. Nothing when there
// is none (or no file).
struct DriverLogEnd {
    std::uint64_t seq = 0;
    std::uint64_t offset = 0;
};
std::optional<DriverLogEnd> lastDriverLogRecord(const std::string& path);
// Mends the end of a log whose last line has no newline: a writer killed in
// its append can leave part of its line (the kernel may cut a write that
// crosses a page of the file). A rest that is a whole record gets its
// newline; anything else is cut off. Call it under the machine lock, before
// the next record is appended, so the next line follows on. False, with
// `error`, when the file cannot be mended (a rest longer than
// kDriverLogLineBytes is no record's and is left for a person to look at).
bool finishDriverLogTail(const std::string& path, std::string* error);

}  // namespace host
