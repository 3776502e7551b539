// Library/Logs/driver.jsonl: one flat JSON object per line for every command
// that reached a clock driver.
#include "host/DriverLog.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

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

// A reader for the flat objects this log holds: string, integer and null
// values only.
class LineParser {
public:
    explicit LineParser(const std::string& text) : s_(text) {}

    bool parse(DriverLogRecord& record) {
        bool haveSeq = false, haveDriver = false, haveCommand = false, haveName = false,
             haveResult = false;
        skipSpace();
        if (!eat('{')) return false;
        skipSpace();
        if (eat('}')) return false;
        for (;;) {
            skipSpace();
            std::string key;
            if (!string(key)) return false;
            skipSpace();
            if (!eat(':')) return false;
            skipSpace();
            std::optional<std::string> text;
            std::optional<std::int64_t> number;
            bool isNull = false;
            if (peek() == '"') {
                std::string t;
                if (!string(t)) return false;
                text = std::move(t);
            } else if (s_.compare(pos_, 4, "null") == 0) {
                pos_ += 4;
                isNull = true;
            } else {
                std::int64_t n;
                if (!integer(n)) return false;
                number = n;
            }
            if (key == "seq") {
                if (!number || *number < 0) return false;
                record.seq = static_cast<std::uint64_t>(*number);
                haveSeq = true;
            } else if (key == "driver") {
                if (!text) return false;
                record.driver = *text;
                haveDriver = true;
            } else if (key == "command") {
                if (!number) return false;
                record.command = *number;
                haveCommand = true;
            } else if (key == "name") {
                if (!text) return false;
                record.name = *text;
                haveName = true;
            } else if (key == "argument" || key == "argument2") {
                if (text) return false;
                (key == "argument" ? record.argument : record.argument2) = number;
            } else if (key == "result") {
                if (!number || *number < 0 || *number > 0xFFFFFFFFLL) return false;
                record.result = static_cast<std::uint32_t>(*number);
                haveResult = true;
            } else if (key == "regValue") {
                if (text) return false;
                if (number && (*number < 0 || *number > 0xFFFFFFFFLL)) return false;
                if (isNull)
                    record.regValue.reset();
                else
                    record.regValue = static_cast<std::uint32_t>(*number);
            }
            skipSpace();
            if (eat('}')) break;
            if (!eat(',')) return false;
        }
        skipSpace();
        return pos_ == s_.size() && haveSeq && haveDriver && haveCommand && haveName && haveResult;
    }

private:
    char peek() const { return pos_ < s_.size() ? s_[pos_] : '\0'; }
    bool eat(char c) {
        if (peek() != c) return false;
        ++pos_;
        return true;
    }
    void skipSpace() {
        while (pos_ < s_.size() &&
               (s_[pos_] == ' ' || s_[pos_] == '\t' || s_[pos_] == '\r' || s_[pos_] == '\n'))
            ++pos_;
    }
    bool integer(std::int64_t& out) {
        bool negative = eat('-');
        if (pos_ >= s_.size() || s_[pos_] < '0' || s_[pos_] > '9') return false;
        std::uint64_t value = 0;
        while (pos_ < s_.size() && s_[pos_] >= '0' && s_[pos_] <= '9') {
            if (value > 922337203685477580ULL) return false;
            value = value * 10 + static_cast<std::uint64_t>(s_[pos_++] - '0');
        }
        if (value > 9223372036854775807ULL) return false;
        out = negative ? -static_cast<std::int64_t>(value) : static_cast<std::int64_t>(value);
        return true;
    }
    bool string(std::string& out) {
        if (!eat('"')) return false;
        while (pos_ < s_.size()) {
            char c = s_[pos_++];
            if (c == '"') return true;
            if (c != '\\') {
                out += c;
                continue;
            }
            if (pos_ >= s_.size()) return false;
            char e = s_[pos_++];
            switch (e) {
            case '"': out += '"'; break;
            case '\\': out += '\\'; break;
            case '/': out += '/'; break;
            case 'n': out += '\n'; break;
            case 'r': out += '\r'; break;
            case 't': out += '\t'; break;
            case 'b': out += '\b'; break;
            case 'f': out += '\f'; break;
            case 'u': {
                if (pos_ + 4 > s_.size()) return false;
                unsigned code = 0;
                for (int i = 0; i < 4; ++i) {
                    char h = s_[pos_++];
                    code <<= 4;
                    if (h >= '0' && h <= '9')
                        code |= static_cast<unsigned>(h - '0');
                    else if (h >= 'a' && h <= 'f')
                        code |= static_cast<unsigned>(h - 'a' + 10);
                    else if (h >= 'A' && h <= 'F')
                        code |= static_cast<unsigned>(h - 'A' + 10);
                    else
                        return false;
                }
                // Only control characters are escaped by the writer; others
                // are encoded as UTF-8 for completeness.
                if (code < 0x80) {
                    out += static_cast<char>(code);
                } else if (code < 0x800) {
                    out += static_cast<char>(0xC0 | (code >> 6));
                    out += static_cast<char>(0x80 | (code & 0x3F));
                } else {
                    out += static_cast<char>(0xE0 | (code >> 12));
                    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
                    out += static_cast<char>(0x80 | (code & 0x3F));
                }
                break;
            }
            default: return false;
            }
        }
        return false;
    }

    const std::string& s_;
    std::size_t pos_ = 0;
};

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
    out += "}";
    return out;
}

std::optional<DriverLogRecord> parseDriverLogLine(const std::string& line) {
    DriverLogRecord record;
    if (!LineParser(line).parse(record)) return std::nullopt;
    return record;
}

std::vector<DriverLogRecord> readDriverLog(const std::string& path, std::string* error) {
    std::vector<DriverLogRecord> records;
    std::ifstream in(path, std::ios::binary);
    if (!in) return records;
    std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::size_t start = 0, lineNumber = 0;
    std::string problems;
    while (start < content.size()) {
        std::size_t end = content.find('\n', start);
        if (end == std::string::npos) break;  // an unfinished last line is not a record yet
        ++lineNumber;
        std::string line = content.substr(start, end - start);
        start = end + 1;
        if (line.empty()) continue;
        if (std::optional<DriverLogRecord> record = parseDriverLogLine(line)) {
            records.push_back(std::move(*record));
        } else {
            if (!problems.empty()) problems += "; ";
            problems += path + ":" + std::to_string(lineNumber) + ": not a driver log record";
        }
    }
    if (error) *error = problems;
    return records;
}

bool appendDriverLogLine(const std::string& path, const DriverLogRecord& record,
                         std::string* error) {
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ec);
    int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        if (error) *error = path + ": " + std::strerror(errno);
        return false;
    }
    std::string line = formatDriverLogLine(record) + "\n";
    ssize_t written;
    do {
        written = ::write(fd, line.data(), line.size());
    } while (written < 0 && errno == EINTR);
    int saved = errno;
    ::close(fd);
    if (written != static_cast<ssize_t>(line.size())) {
        if (error) *error = path + ": " + (written < 0 ? std::strerror(saved) : "short write");
        return false;
    }
    return true;
}

bool finishDriverLogTail(const std::string& path, std::string* error) {
    int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT) return true;
        if (error) *error = path + ": " + std::strerror(errno);
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
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
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
