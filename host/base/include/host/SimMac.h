// Where the simulated Mac keeps everything: $SIMMAC_ROOT, by default
// ~/.local/share/tarnwick/simmac.
#pragma once

#include <ctime>
#include <filesystem>
#include <string>

namespace host {

std::filesystem::path simmacRoot();
// The same as text, worked out again only when the environment changed:
// cheap enough for every registry call. Valid on this thread until then.
const std::string& simmacRootText();
std::filesystem::path machinePlistPath();    // <root>/machine.plist
std::filesystem::path preferencesDir();      // <root>/Library/Preferences
std::filesystem::path logsDir();             // <root>/Library/Logs
std::filesystem::path systemLogPath();       // <root>/Library/Logs/system.log
std::filesystem::path driverLogPath();       // <root>/Library/Logs/driver.jsonl
std::filesystem::path preferencePanesDir();  // <root>/Library/PreferencePanes

// Writes `bytes` to a temporary file in the same folder, flushes it and
// renames it over `path`; creates missing folders. A symbolic link (or
// anything else but a folder) at `path` is replaced itself, never written
// through. False with a message on failure, in which case `path` is unchanged. Temporary files that writers
// killed before their rename left beside `path` are removed by the next write.
// `modified`, when given, is the new file's modification time, set before
// the rename.
bool writeFileAtomically(const std::filesystem::path& path, const std::string& bytes,
                         std::string* error, const timespec* modified = nullptr);

}  // namespace host
