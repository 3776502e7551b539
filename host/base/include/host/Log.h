// The system log: NSLog-style lines to Library/Logs/system.log, as on a
// Mac. A program's stderr carries only its own messages unless it is asked
// to be verbose: TARNWICK_VERBOSE=1 in the environment, or
// setLogEchoToStderr(true) (a program's --verbose), echoes every line there.
#pragma once

#include <cstdarg>
#include <string>

// Formats like printf and writes one record: a timestamp and the program's
// name with its process id, then the text exactly as formatted. A newline is
// added only when the text does not already end with one. A record that
// system.log cannot take goes to stderr instead.
void NSLog(const char* format, ...) __attribute__((format(printf, 1, 2)));
void NSLogv(const char* format, va_list args) __attribute__((format(printf, 1, 0)));

namespace host {
// The name NSLog puts before each line (default: the executable's name).
void setLogProgramName(const std::string& name);
// Whether every record is also written to stderr (besides TARNWICK_VERBOSE).
void setLogEchoToStderr(bool echo);
// Logs `message` once per process, so that a program that keeps meeting the
// same problem (an unreadable machine, say) says so one time.
void logOnce(const std::string& message);
}  // namespace host
