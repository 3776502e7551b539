// Inside the machine: the one reader of machine.plist (the checkpoint) and
// driver.jsonl (the journal) that every program goes through, and its
// writers under the machine lock: a command's record, a checkpoint, a new
// journal (MachineStore.cpp); the checkpoint's file form (MachineFile.cpp).
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "MachineLock.h"
#include "host/DriverLog.h"
#include "host/Machine.h"

namespace host {

// The machine now: the checkpoint with the journal's complete records after
// its mark replayed.
struct MachineView {
    std::shared_ptr<const Machine> machine;
    std::optional<CheckpointMark> mark;  // nothing: the file has none (written by hand)
    std::uint64_t lastSeq = 0;           // the last record's seq, else the checkpoint's
    std::uint64_t recordsSinceCheckpoint = 0;
    std::uint64_t journalLength = 0;  // bytes of whole lines read of driver.jsonl
    bool tornTail = false;            // the journal ends in a line without its newline
    // The mark lies in driver.jsonl.old: the journal was rotated after the
    // checkpoint, and the next command writes one.
    bool markInOldJournal = false;
};

// The machine of the simulated Mac at $SIMMAC_ROOT as it is now. Nothing
// with `absent` set on a fresh Mac (neither machine.plist nor a journal);
// nothing with a message when it cannot be read, or when the journal no
// longer holds what the checkpoint was taken from (a machine rolled back:
// the journal emptied, cut or removed under it, machine.plist removed
// beside a journal). The parsed checkpoint is kept, and of the journal only
// the bytes added since the last call are read; the journal stays open.
// `registryOnly` looks at the journal only when the checkpoint changed: for
// a reader of the registry's entries and properties, which only a new
// checkpoint changes (a command changes registers and driver state); the
// registers and driver states it gives may then lag.
std::optional<MachineView> readMachineView(bool* absent, std::string* error,
                                           bool registryOnly = false);

// The machine a machine file's bytes hold, and its mark; nothing with a
// message that begins with the file's path when they are refused.
std::optional<Machine> parseMachineFile(const std::filesystem::path& path, std::string_view bytes,
                                        std::string* error, std::optional<CheckpointMark>* mark);

// With the lock held, for a writer: mends a torn last line of the journal,
// then reads the machine. A fresh Mac gets the default machine, and a
// machine file without a mark is stamped as holding every record logged so
// far, so that the writer's record is the first after the checkpoint.
std::optional<MachineView> readMachineViewLocked(std::string* error);

// With the lock held, right after readMachineViewLocked: appends `record`
// to the journal with one write, creating the journal when there is none,
// and gives the machine with the record taken in.
std::optional<MachineView> appendRecordLocked(const DriverLogRecord& record, std::string* error);

// With the lock held: writes `machine` atomically as the checkpoint of the
// journal's first `mark.journalOffset` bytes, whose last record is
// `mark.seq`.
bool writeCheckpointLocked(const Machine& machine, const CheckpointMark& mark, std::string* error);

// With the lock held, after a read: keeps driver.jsonl as driver.jsonl.old
// (replacing an older one) and lets the next record begin a new journal.
// `restartSeq` (when the seq reached kLastDriverLogSeq) numbers the new
// journal from 1, with a checkpoint of the machine as `view` has it;
// otherwise the seq goes on and the next command writes the checkpoint.
bool rotateJournalLocked(const MachineView& view, bool restartSeq, std::string* error);
// With the lock held: the renaming alone.
bool keepJournalAsOldLocked(std::string* error);

}  // namespace host
