// Library/Logs/driver.jsonl, the journal of the simulated hardware: one JSON
// object per command that reached a clock driver, with the command's effect
// on the card and the driver, so that the machine now is its last
// checkpoint (machine.plist) with the records after it replayed.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace host {

// The last seq a record can carry: its readers, and the checkpoint's "Seq",
// take signed 64-bit numbers. A journal that reaches it starts over.
inline constexpr std::uint64_t kLastDriverLogSeq = 0x7FFFFFFFFFFFFFFF;

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
std::vector<DriverLogRecord> readDriverLog(const std::string& path, std::string* error = nullptr,
                                           bool* unreadable = nullptr);
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
// The seq of the last complete line that parses; 0 when there is none.
std::uint64_t lastDriverLogSeq(const std::string& path);
// Mends the end of a log whose last line has no newline: a writer killed in
// its append can leave part of its line (the kernel may cut a write that
// crosses a page of the file). A rest that is a whole record gets its
// newline; anything else is cut off. Call it under the machine lock, before
// the next record is appended, so the next line follows on. False, with
// `error`, when the file cannot be mended.
bool finishDriverLogTail(const std::string& path, std::string* error);

}  // namespace host
