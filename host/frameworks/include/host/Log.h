// The system log: NSLog-style lines to Library/Logs/system.log and stderr.
#pragma once

#include <cstdarg>
#include <string>

// Formats like printf and writes one record: a timestamp and the program's
// name with its process id, then the text exactly as formatted. A newline is
// added only when the text does not already end with one.
void NSLog(const char* format, ...) __attribute__((format(printf, 1, 2)));
void NSLogv(const char* format, va_list args) __attribute__((format(printf, 1, 0)));

namespace host {
// The name NSLog puts before each line (default: the executable's name).
void setLogProgramName(const std::string& name);
}  // namespace host
