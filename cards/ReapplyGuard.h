// The guard around putting the saved clocks back on the cards: before a
// reapply programs any card, a record says that one is under way, and it is
// cleared when the reapply has finished. A record whose process is gone
// means that reapply never finished (the machine hung at those clocks, or
// the program was stopped), and nothing is reprogrammed until the pane
// saves new settings.
#pragma once

#include <functional>
#include <optional>
#include <string>

// The two programs that reapply. Each keeps its records in a domain of its
// own, so that neither record lives in the saved settings' domain, which the
// pane writes whole.
enum class Reapplier { StartupTool, Pane };
inline constexpr const char* kStartupToolReapplyDomain = "name.halvorn.oddny.TarnwickStartup";
inline constexpr const char* kPaneReapplyDomain = "name.halvorn.oddny.TarnwickPref.Reapply";
// The records: an array with one dictionary per reapply under way (two
// startup tools may run at once: a login and a wake), each of "When",
// "Process" (its id) and "Process Start" (microseconds since the epoch, to
// tell it from a later process that got the same id). A single dictionary
// is read as one record.
inline constexpr const char* kReapplyInProgressKey = "Reapply In Progress";

// When a reapply runs, as the record and the log name it.
inline constexpr const char* kReapplyAtLogin = "at login";
inline constexpr const char* kReapplyAfterWake = "after wake";
inline constexpr const char* kReapplyAtPaneOpen = "when the pane opened";

// When the reapply that never finished ran (a record whose process has
// ended), or nothing. A reapply still running in another process is none. A
// record domain that cannot be read counts as a reapply that never finished.
std::optional<std::string> unfinishedReapply();

// Adds this process's record of a reapply, written and synchronised before it
// returns. False when the record did not reach the disk.
bool beginReapply(Reapplier reapplier, const std::string& when);
// Clears this process's record.
void endReapply(Reapplier reapplier);
// Clears the records of reapplies that never finished (and record domains
// that cannot be read); records of reapplies under way stay.
void clearUnfinishedReapplies();

enum class ReapplyOutcome { Done, SkippedUnfinished, SkippedUnrecorded };

// Runs `reapply`, guarded: before its first command that programs a card,
// beginReapply, and endReapply when it has finished (a reapply that
// programs no card leaves no trace). It does not run, with a log line that
// says why, when a reapply never finished; when the record cannot be
// written, it programs no card (those commands fail), with a log line.
ReapplyOutcome reapplyGuarded(Reapplier reapplier, const std::string& when,
                              const std::function<void()>& reapply);

// Runs `work` with every command that would program a card refused (it fails
// without being sent): reading the cards while a reapply is unfinished.
void withProgrammingRefused(const std::function<void()>& work);
