// Library/Logs/driver.jsonl: one flat JSON object per line for every command
// that reached a clock driver.
#include "host/DriverLog.h"

#include <fcntl.h>
#include <simdjson.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "host/RegularFile.h"

namespace host {

namespace {

// Every character a JSON string cannot hold as it is.
constexpr char kEscaped[] =
    "\"\\\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0a\x0b\x0c\x0d\x0e\x0f\x10\x11\x12\x13\x14"
    "\x15\x16\x17\x18\x19\x1a\x1b\x1c\x1d\x1e\x1f";

void appendJSONString(std::string& out, const std::string& text) {
    out += '"';
    // Runs of plain characters in one piece (strcspn stops at a zero
    // character too, which is escaped like the others).
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t plain =
            std::min(std::strcspn(text.c_str() + i, kEscaped), text.size() - i);
        out.append(text, i, plain);
        i += plain;
        if (i == text.size()) break;
        const auto c = static_cast<unsigned char>(text[i++]);
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default: {
            char buffer[8];
            std::snprintf(buffer, sizeof buffer, "\\u%04x", c);
            out += buffer;
        }
        }
    }
    out += '"';
}

// A number in decimal, written in place.
template <typename T>
void appendNumber(std::string& out, T value) {
    char digits[24];
    const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    out.append(digits, static_cast<std::size_t>(end - digits));
}

template <typename T>
void appendOptional(std::string& out, const std::optional<T>& value) {
    if (value)
        appendNumber(out, *value);
    else
        out += "null";
}

// The parser and a padded copy of the text it reads, kept per thread:
// simdjson reads a few bytes past the end of its input, and a parser keeps
// its buffers for the next call.
struct ParseScratch {
    simdjson::ondemand::parser parser;
    std::vector<char> padded;

    // `text` with the padding simdjson needs after it.
    std::string_view copy(std::string_view text) {
        if (padded.size() < text.size() + simdjson::SIMDJSON_PADDING)
            padded.resize(text.size() + simdjson::SIMDJSON_PADDING);
        std::memcpy(padded.data(), text.data(), text.size());
        return {padded.data(), text.size()};
    }
};

ParseScratch& scratch() {
    thread_local ParseScratch s;
    return s;
}

std::optional<std::uint32_t> word32(simdjson::ondemand::value value) {
    std::uint64_t n = 0;
    if (value.get_uint64().get(n) || n > 0xFFFFFFFFULL) return std::nullopt;
    return static_cast<std::uint32_t>(n);
}

// A null, or an integer (given as `out`); false for anything else.
bool nullOrInteger(simdjson::ondemand::value value, std::optional<std::int64_t>& out) {
    bool isNull = false;
    if (!value.is_null().get(isNull) && isNull) {
        out.reset();
        return true;
    }
    std::int64_t n = 0;
    if (value.get_int64().get(n)) return false;
    out = n;
    return true;
}

// One object of the log into `record`. Fields it does not know are skipped;
// those it knows must have their types, and seq, driver, command, name and
// result must be there.
template <typename Object>
bool readRecord(Object object, DriverLogRecord& record) {
    bool haveSeq = false, haveDriver = false, haveCommand = false, haveName = false,
         haveResult = false;
    for (auto field : object) {
        std::string_view key;
        if (field.unescaped_key().get(key)) return false;
        simdjson::ondemand::value value;
        if (field.value().get(value)) return false;
        if (key == "seq") {
            std::int64_t n = 0;
            if (value.get_int64().get(n) || n < 0) return false;
            record.seq = static_cast<std::uint64_t>(n);
            haveSeq = true;
        } else if (key == "driver" || key == "name" || key == "register") {
            std::string_view text;
            if (value.get_string().get(text)) return false;
            if (key == "driver") {
                record.driver = text;
                haveDriver = true;
            } else if (key == "name") {
                record.name = text;
                haveName = true;
            } else {
                record.registerKey = std::string(text);
            }
        } else if (key == "command") {
            if (value.get_int64().get(record.command)) return false;
            haveCommand = true;
        } else if (key == "argument" || key == "argument2") {
            if (!nullOrInteger(value, key == "argument" ? record.argument : record.argument2))
                return false;
        } else if (key == "result") {
            std::optional<std::uint32_t> n = word32(value);
            if (!n) return false;
            record.result = *n;
            haveResult = true;
        } else if (key == "regValue") {
            bool isNull = false;
            if (!value.is_null().get(isNull) && isNull) {
                record.regValue.reset();
            } else {
                record.regValue = word32(value);
                if (!record.regValue) return false;
            }
        } else if (key == "registerValue") {
            record.registerValue = word32(value);
            if (!record.registerValue) return false;
        } else if (key == "busyUntil" || key == "acceptedCommands") {
            std::int64_t n = 0;
            if (value.get_int64().get(n) || n < 0) return false;
            (key == "busyUntil" ? record.busyUntil : record.acceptedCommands) = n;
        }
    }
    // An effect names its register and its value together.
    if (record.registerKey.has_value() != record.registerValue.has_value()) return false;
    return haveSeq && haveDriver && haveCommand && haveName && haveResult;
}

// A single line, which must hold exactly one object.
std::optional<DriverLogRecord> parseOneLine(std::string_view line) {
    ParseScratch& s = scratch();
    const std::string_view text = s.copy(line);
    simdjson::ondemand::document document;
    if (s.parser.iterate(simdjson::padded_string_view(text.data(), text.size(), s.padded.size()))
            .get(document))
        return std::nullopt;
    simdjson::ondemand::object object;
    if (document.get_object().get(object)) return std::nullopt;
    DriverLogRecord record;
    if (!readRecord(object, record)) return std::nullopt;
    // Nothing may follow the object on its line.
    const char* rest = nullptr;
    if (!document.current_location().get(rest)) return std::nullopt;
    return record;
}

bool blank(std::string_view text) {
    return text.find_first_not_of(" \t\r") == std::string_view::npos;
}

// Every line of `text` on its own: slower than a stream, but it says which
// lines are not records.
std::vector<DriverLogRecord> parseLineByLine(std::string_view text, const std::string& where,
                                             std::size_t firstLine, std::string* problems) {
    std::vector<DriverLogRecord> records;
    std::size_t start = 0, lineNumber = firstLine;
    while (start < text.size()) {
        const std::size_t end = text.find('\n', start);
        if (end == std::string_view::npos) break;
        const std::string_view line = text.substr(start, end - start);
        start = end + 1;
        if (!line.empty()) {
            if (std::optional<DriverLogRecord> record = parseOneLine(line)) {
                records.push_back(std::move(*record));
            } else if (problems) {
                if (!problems->empty()) *problems += "; ";
                *problems += where + ":" + std::to_string(lineNumber) + ": not a driver log record";
            }
        }
        ++lineNumber;
    }
    return records;
}

}  // namespace

const char* driverCommandName(std::int64_t code) {
    switch (code) {
    case 0: return "ReadATIPLL";
    case 1: return "ReadATIRegister";
    case 2: return "WriteATIPLL";
    case 11: return "ReadNVIDIARegister";
    case 12: return "WriteNVIDIARegister";
    default: return "Unknown";
    }
}

std::string formatDriverLogLine(const DriverLogRecord& record) {
    std::string out;
    out.reserve(224 + record.driver.size());
    out += "{\"seq\": ";
    appendNumber(out, record.seq);
    out += ", \"driver\": ";
    // A process sends most of its commands to the same few drivers.
    thread_local std::string lastDriver, lastDriverJSON;
    if (record.driver != lastDriver || lastDriverJSON.empty()) {
        lastDriverJSON.clear();
        appendJSONString(lastDriverJSON, record.driver);
        lastDriver = record.driver;
    }
    out += lastDriverJSON;
    out += ", \"command\": ";
    appendNumber(out, record.command);
    out += ", \"name\": ";
    appendJSONString(out, record.name);
    out += ", \"argument\": ";
    appendOptional(out, record.argument);
    out += ", \"argument2\": ";
    appendOptional(out, record.argument2);
    out += ", \"result\": ";
    appendNumber(out, record.result);
    out += ", \"regValue\": ";
    appendOptional(out, record.regValue);
    if (record.registerKey && record.registerValue) {
        out += ", \"register\": ";
        appendJSONString(out, *record.registerKey);
        out += ", \"registerValue\": ";
        appendNumber(out, *record.registerValue);
    }
    if (record.busyUntil) {
        out += ", \"busyUntil\": ";
        appendNumber(out, *record.busyUntil);
    }
    if (record.acceptedCommands) {
        out += ", \"acceptedCommands\": ";
        appendNumber(out, *record.acceptedCommands);
    }
    out += "}";
    return out;
}

std::optional<DriverLogRecord> parseDriverLogLine(std::string_view line) {
    return parseOneLine(line);
}

std::vector<DriverLogRecord> parseDriverLogLines(std::string_view text, const std::string& where,
                                                 std::size_t firstLine, std::string* problems) {
    const std::size_t lastNewline = text.rfind('\n');
    if (lastNewline == std::string_view::npos) return {};
    text = text.substr(0, lastNewline + 1);
    // The lines as one stream of documents; each must be one whole line.
    // Anything unusual (a bad line, two objects on a line) is left to the
    // line-by-line reader, which names the lines at fault.
    ParseScratch& s = scratch();
    const std::string_view padded = s.copy(text);
    std::vector<DriverLogRecord> records;
    simdjson::ondemand::document_stream stream;
    // A batch holds at least the longest line; lines are short.
    const std::size_t batch = std::min<std::size_t>(std::max<std::size_t>(text.size(), 4096),
                                                    simdjson::dom::DEFAULT_BATCH_SIZE);
    if (!s.parser.iterate_many(padded.data(), padded.size(), batch).get(stream)) {
        std::size_t expectedStart = 0;
        bool clean = true;
        for (auto it = stream.begin(); it != stream.end(); ++it) {
            const std::size_t at = it.current_index();
            // Only blank lines may come between two records.
            const std::size_t skipped = text.find_first_not_of(" \t\r\n", expectedStart);
            if (skipped != at ||
                text.substr(expectedStart, at - expectedStart).find_first_not_of(" \t\r\n") !=
                    std::string_view::npos) {
                clean = false;
                break;
            }
            auto document = *it;
            simdjson::ondemand::object object;
            DriverLogRecord record;
            if (document.get_object().get(object) || !readRecord(object, record)) {
                clean = false;
                break;
            }
            const std::size_t end = text.find('\n', at);
            const std::string_view source = it.source();
            if (end == std::string_view::npos || at + source.size() > end ||
                !blank(text.substr(at + source.size(), end - at - source.size()))) {
                clean = false;
                break;
            }
            expectedStart = end + 1;
            records.push_back(std::move(record));
        }
        if (clean && blank(text.substr(std::min(expectedStart, text.size()))) &&
            stream.truncated_bytes() == 0)
            return records;
    }
    return parseLineByLine(text, where, firstLine, problems);
}

std::vector<DriverLogRecord> readDriverLog(const std::string& path, std::string* error,
                                           bool* unreadable) {
    std::string why;
    bool absent = false;
    const std::optional<std::string> content =
        readRegularFile(path, Links::Refuse, kDriverLogFileBytes, &why, &absent);
    if (error) *error = content || absent ? std::string() : why;
    if (unreadable) *unreadable = !content && !absent;
    if (!content) return {};
    return parseDriverLogLines(*content, path, 1, error);
}

bool visitDriverLog(const std::string& path,
                    const std::function<void(const DriverLogRecord&)>& visit, std::string* error) {
    bool absent = false;
    std::string why;
    const int fd = openFileForReading(path, Links::Refuse, &why, &absent);
    // A journal that is not there holds no record.
    if (fd < 0 && error && !absent) *error = why;
    if (fd < 0) return absent;
    // Whole lines a block at a time; a line longer than a block is no
    // record and is skipped whole.
    constexpr std::size_t kBlock = std::size_t{1} << 20;
    std::string pending, problems;
    std::vector<char> block(kBlock);
    std::size_t lineNumber = 1;
    bool skipping = false;
    for (;;) {
        const ssize_t n = ::read(fd, block.data(), block.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            if (error) *error = path + ": cannot be read: " + std::strerror(errno);
            ::close(fd);
            return false;
        }
        if (n == 0) break;
        pending.append(block.data(), static_cast<std::size_t>(n));
        std::size_t end = pending.rfind('\n');
        if (end == std::string::npos) {
            if (pending.size() > kBlock) {
                pending.clear();
                skipping = true;
            }
            continue;
        }
        std::string_view lines(pending.data(), end + 1);
        if (skipping) {
            // The rest of an overlong line: not a record.
            const std::size_t first = lines.find('\n');
            if (!problems.empty()) problems += "; ";
            problems += path + ":" + std::to_string(lineNumber++) + ": not a driver log record";
            lines.remove_prefix(first + 1);
            skipping = false;
        }
        for (const DriverLogRecord& record :
             parseDriverLogLines(lines, path, lineNumber, &problems))
            visit(record);
        lineNumber += static_cast<std::size_t>(std::count(lines.begin(), lines.end(), '\n'));
        pending.erase(0, end + 1);
    }
    ::close(fd);
    if (error) *error = problems;
    return true;
}

bool appendDriverLogLine(const std::string& path, const DriverLogRecord& record, std::string* error,
                         std::uint64_t* length) {
    const int fd = openFileForWriting(path, O_WRONLY | O_APPEND | O_CREAT, error);
    if (fd < 0) return false;
    std::string line = formatDriverLogLine(record) + "\n";
    ssize_t written;
    do {
        written = ::write(fd, line.data(), line.size());
    } while (written < 0 && errno == EINTR);
    int saved = errno;
    struct stat st {};
    const bool sized = written == static_cast<ssize_t>(line.size()) && ::fstat(fd, &st) == 0;
    ::close(fd);
    if (written != static_cast<ssize_t>(line.size())) {
        if (error) *error = path + ": " + (written < 0 ? std::strerror(saved) : "short write");
        return false;
    }
    if (length) *length = sized ? static_cast<std::uint64_t>(st.st_size) : 0;
    return true;
}

bool finishDriverLogTail(const std::string& path, std::string* error) {
    std::string why;
    const int fd = openFileForWriting(path, O_RDWR, &why);
    if (fd < 0) {
        if (errno == ENOENT) return true;
        if (error) *error = why;
        return false;
    }
    auto fail = [&](const char* what) {
        if (error) *error = path + ": " + what + ": " + std::strerror(errno);
        ::close(fd);
        return false;
    };
    struct stat st {};
    if (::fstat(fd, &st) != 0) return fail("cannot read its size");
    const off_t size = st.st_size;
    char last = '\n';
    if (size > 0 && ::pread(fd, &last, 1, size - 1) != 1) return fail("cannot read its end");
    if (last == '\n') {
        ::close(fd);
        return true;
    }
    // Where the unfinished line starts: after the last newline, read
    // backwards a block at a time, no further than a line can be long.
    constexpr off_t kBlock = 4096;
    const off_t limit = size > static_cast<off_t>(kDriverLogLineBytes)
                            ? size - static_cast<off_t>(kDriverLogLineBytes)
                            : 0;
    off_t lineStart = -1;
    for (off_t end = size; end > limit;) {
        const off_t from = std::max(end - kBlock, limit);
        std::string block(static_cast<std::size_t>(end - from), '\0');
        if (::pread(fd, block.data(), block.size(), from) != static_cast<ssize_t>(block.size()))
            return fail("cannot read its end");
        const std::size_t newline = block.rfind('\n');
        if (newline != std::string::npos) {
            lineStart = from + static_cast<off_t>(newline) + 1;
            break;
        }
        end = from;
    }
    if (lineStart < 0 && limit == 0) lineStart = 0;
    if (lineStart < 0) {
        if (error)
            *error = path + ": ends in more than " + std::to_string(kDriverLogLineBytes) +
                     " bytes without a newline, which no record is; not mended";
        ::close(fd);
        return false;
    }
    std::string rest(static_cast<std::size_t>(size - lineStart), '\0');
    if (::pread(fd, rest.data(), rest.size(), lineStart) != static_cast<ssize_t>(rest.size()))
        return fail("cannot read its end");
    if (parseDriverLogLine(rest)) {
        // The whole record reached the file, only its newline did not.
        if (::pwrite(fd, "\n", 1, size) != 1) return fail("cannot finish its last line");
    } else if (::ftruncate(fd, lineStart) != 0) {
        return fail("cannot cut off an unfinished line");
    }
    ::close(fd);
    return true;
}

std::optional<DriverLogEnd> lastDriverLogRecord(const std::string& path) {
    const int fd = openFileForReading(path, Links::Refuse, nullptr);
    if (fd < 0) return std::nullopt;
    struct stat st {};
    std::string tail;
    if (::fstat(fd, &st) == 0 && st.st_size > 0) {
        const off_t from = st.st_size > static_cast<off_t>(kDriverLogLineBytes)
                               ? st.st_size - static_cast<off_t>(kDriverLogLineBytes)
                               : 0;
        tail.resize(static_cast<std::size_t>(st.st_size - from));
        const ssize_t n = ::pread(fd, tail.data(), tail.size(), from);
        tail.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
        // Complete lines, newest first; the first line of the tail counts
        // only when the tail is the whole file.
        std::size_t end = tail.rfind('\n');
        while (end != std::string::npos && end > 0) {
            const std::size_t begin = tail.rfind('\n', end - 1);
            if (begin == std::string::npos && from > 0) break;
            const std::size_t lineStart = begin == std::string::npos ? 0 : begin + 1;
            if (auto record =
                    parseDriverLogLine(std::string_view(tail).substr(lineStart, end - lineStart))) {
                ::close(fd);
                return DriverLogEnd{record->seq, static_cast<std::uint64_t>(from) + end + 1};
            }
            if (begin == std::string::npos) break;
            end = begin;
        }
    }
    ::close(fd);
    return std::nullopt;
}

}  // namespace host
