// Library/Logs/driver.jsonl: one flat JSON object per line for every command
// that reached a clock driver.
#include "host/DriverLog.h"

#include <fcntl.h>
#include <simdjson.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "host/RegularFile.h"

namespace host {

namespace {

void appendJSONString(std::string& out, const std::string& text) {
    out += '"';
    for (unsigned char c : text) {
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (c < 0x20) {
                char buffer[8];
                std::snprintf(buffer, sizeof buffer, "\\u%04x", c);
                out += buffer;
            } else {
                out += static_cast<char>(c);
            }
        }
    }
    out += '"';
}

template <typename T>
void appendOptional(std::string& out, const std::optional<T>& value) {
    out += value ? std::to_string(*value) : "null";
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
    std::string out = "{\"seq\": " + std::to_string(record.seq) + ", \"driver\": ";
    appendJSONString(out, record.driver);
    out += ", \"command\": " + std::to_string(record.command) + ", \"name\": ";
    appendJSONString(out, record.name);
    out += ", \"argument\": ";
    appendOptional(out, record.argument);
    out += ", \"argument2\": ";
    appendOptional(out, record.argument2);
    out += ", \"result\": " + std::to_string(record.result) + ", \"regValue\": ";
    appendOptional(out, record.regValue);
    if (record.registerKey && record.registerValue) {
        out += ", \"register\": ";
        appendJSONString(out, *record.registerKey);
        out += ", \"registerValue\": " + std::to_string(*record.registerValue);
    }
    if (record.busyUntil) out += ", \"busyUntil\": " + std::to_string(*record.busyUntil);
    if (record.acceptedCommands)
        out += ", \"acceptedCommands\": " + std::to_string(*record.acceptedCommands);
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
    const std::optional<std::string> content = readRegularFile(path, Links::Refuse, &why, &absent);
    if (error) *error = content || absent ? std::string() : why;
    if (unreadable) *unreadable = !content && !absent;
    if (!content) return {};
    return parseDriverLogLines(*content, path, 1, error);
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
    // backwards a block at a time.
    constexpr off_t kBlock = 4096;
    off_t lineStart = 0;
    for (off_t end = size; end > 0;) {
        const off_t from = end > kBlock ? end - kBlock : 0;
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

std::uint64_t lastDriverLogSeq(const std::string& path) {
    const int fd = openFileForReading(path, Links::Refuse, nullptr);
    if (fd < 0) return 0;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || st.st_size == 0) {
        ::close(fd);
        return 0;
    }
    const off_t size = st.st_size;
    // Read ever larger tails until one holds a complete line that parses.
    for (off_t tail = 4096;; tail *= 4) {
        off_t from = tail >= size ? 0 : size - tail;
        std::string chunk(static_cast<std::size_t>(size - from), '\0');
        ssize_t n = ::pread(fd, chunk.data(), chunk.size(), from);
        if (n < 0) break;
        chunk.resize(static_cast<std::size_t>(n));
        std::size_t end = chunk.rfind('\n');
        while (end != std::string::npos && end > 0) {
            std::size_t begin = chunk.rfind('\n', end - 1);
            bool complete = begin != std::string::npos || from == 0;
            if (!complete) break;
            std::size_t lineStart = begin == std::string::npos ? 0 : begin + 1;
            if (auto record = parseDriverLogLine(chunk.substr(lineStart, end - lineStart))) {
                ::close(fd);
                return record->seq;
            }
            if (begin == std::string::npos) break;
            end = begin;
        }
        if (from == 0) break;
    }
    ::close(fd);
    return 0;
}

}  // namespace host
