// Library/Logs/driver.jsonl: one JSON object per command that reached a
// clock driver.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace host {

struct DriverLogRecord {
    std::uint64_t seq = 0;
    std::string driver;  // path of the driver entry
    std::int64_t command = 0;
    std::string name;                      // "WriteATIPLL", ... or "Unknown"
    std::optional<std::int64_t> argument;  // null when absent or mistyped
    std::optional<std::int64_t> argument2;
    std::uint32_t result = 0;               // I/O Kit return code, 0 = accepted
    std::optional<std::uint32_t> regValue;  // published by a read command
};

// Every complete line of the log, in order. A line that does not parse is
// reported through `error` and skipped.
std::vector<DriverLogRecord> readDriverLog(const std::string& path, std::string* error = nullptr);
std::string formatDriverLogLine(const DriverLogRecord& record);  // without the newline
std::optional<DriverLogRecord> parseDriverLogLine(const std::string& line);

// "ReadATIPLL", ... for the command codes of the clock driver, else "Unknown".
const char* driverCommandName(std::int64_t code);
// Appends the record and its newline with one write to the file opened for
// appending, so lines from several processes never interleave.
bool appendDriverLogLine(const std::string& path, const DriverLogRecord& record,
                         std::string* error);
// The seq of the last complete line that parses; 0 when there is none.
std::uint64_t lastDriverLogSeq(const std::string& path);
// Mends the end of a log whose last line has no newline: a writer killed in
// its append can leave part of its line (the kernel may cut a write that
// crosses a page of the file). A rest that is a whole record gets its
// newline; anything else is cut off. Call it under the machine lock, before
// lastDriverLogSeq, so the next line follows on. False, with `error`, when
// the file cannot be mended.
bool finishDriverLogTail(const std::string& path, std::string* error);

}  // namespace host
