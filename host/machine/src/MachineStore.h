// Inside the machine: the one reader of machine.plist (the checkpoint) and
// driver.jsonl (the journal) that every program goes through, the machine
// lock, writing a checkpoint and beginning a new journal (MachineStore.cpp),
// and the checkpoint's file form (MachineFile.cpp).
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "host/DriverLog.h"
#include "host/FileLock.h"
#include "host/Machine.h"

namespace host {

// The machine now: the checkpoint with the journal's complete records after
// its seq replayed.
struct MachineView {
    std::shared_ptr<const Machine> machine;
    std::optional<CheckpointMark> mark;  // nothing: the file has none (written by hand)
    std::uint64_t lastSeq = 0;           // the last record's seq, or the checkpoint's when larger
    std::uint64_t recordsSinceCheckpoint = 0;
    std::uint64_t journalLength = 0;  // bytes of whole lines read
    bool tornTail = false;            // the journal ends in a line without its newline
};

// The machine of the simulated Mac at $SIMMAC_ROOT as it is now. Nothing
// with `absent` set when there is no machine.plist; nothing with a message
// when it cannot be read. The parsed checkpoint is cached, and of the
// journal only the bytes added since the last call are read.
std::optional<MachineView> readMachineView(bool* absent, std::string* error);

// The machine a machine file's bytes hold, and its mark; nothing with a
// message that begins with the file's path when they are refused.
std::optional<Machine> parseMachineFile(const std::filesystem::path& path, std::string_view bytes,
                                        std::string* error, std::optional<CheckpointMark>* mark);

// The lock every change and every read of the machine is made under: the
// machine file's FileLock ("machine.plist.lock").
using MachineLock = FileLock;

// With the lock held, for a writer: mends a torn last line of the journal,
// then reads the machine. A fresh Mac gets the default machine, and a
// machine file without a mark is stamped as holding every record logged so
// far, so that the writer's record is the first after the checkpoint.
std::optional<MachineView> readMachineViewLocked(std::string* error);

// With the lock held, after appending `record` to the journal read as
// `before`, which made it `journalLength` bytes long: takes the record into
// this process's view without reading it back.
void noteAppendedLocked(const MachineView& before, const DriverLogRecord& record,
                        std::uint64_t journalLength);

// With the lock held: writes `machine` atomically as the checkpoint of the
// journal's first `journalLength` bytes, whose last record is `seq`.
bool writeCheckpointLocked(const Machine& machine, const CheckpointMark& mark, std::string* error);

// With the lock held, when `view`'s last seq is kLastDriverLogSeq: keeps the
// journal as driver.jsonl.old and begins a new one, its first record seq 1,
// with a checkpoint of the machine as `view` has it.
bool startNewJournalLocked(const MachineView& view, std::string* error);

}  // namespace host
