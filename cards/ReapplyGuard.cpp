#include "ReapplyGuard.h"

#include <unistd.h>

#include <cstdint>

#include "Card.h"
#include "host/CoreFoundation.h"
#include "host/Foundation.h"
#include "host/Log.h"
#include "host/libproc.h"

namespace {

constexpr const char* kWhenKey = "When";
constexpr const char* kProcessKey = "Process";
constexpr const char* kProcessStartKey = "Process Start";
constexpr const char* kUnknownTime = "at an unknown time";

const char* domainOf(Reapplier reapplier) {
    return reapplier == Reapplier::StartupTool ? kStartupToolReapplyDomain : kPaneReapplyDomain;
}

// A record domain as read: its records, or unreadable. A domain whose file
// is there but cannot be read, or whose records are not records, still says
// that a reapply was under way.
struct RecordDomain {
    cf::Dictionary domain;
    cf::Array records;
    bool unreadable = false;
};

RecordDomain readRecordDomain(const char* name) {
    RecordDomain read;
    std::optional<cf::Dictionary> domain =
        NSUserDefaults::standardUserDefaults().persistentDomainForName(name, &read.unreadable);
    if (!domain) return read;
    read.domain = std::move(*domain);
    const cf::Value* value = read.domain.get(kReapplyInProgressKey);
    if (value == nullptr) return read;
    if (const cf::Array* records = value->array())
        read.records = *records;
    else
        read.records.push_back(*value);
    return read;
}

// Writes the domain with these records; a domain left empty goes.
void writeRecordDomain(const char* name, RecordDomain read) {
    NSUserDefaults& defaults = NSUserDefaults::standardUserDefaults();
    read.domain.remove(kReapplyInProgressKey);
    if (!read.records.empty()) read.domain.set(kReapplyInProgressKey, std::move(read.records));
    if (read.domain.empty())
        defaults.removePersistentDomainForName(name);
    else
        defaults.setPersistentDomain(read.domain, name);
}

// When the process started, in microseconds since the epoch; nothing when
// there is no such process.
std::optional<std::int64_t> processStart(std::int64_t pid) {
    proc_bsdinfo info{};
    if (pid <= 0 || pid > INT32_MAX ||
        proc_pidinfo(static_cast<int>(pid), PROC_PIDTBSDINFO, 0, &info, PROC_PIDTBSDINFO_SIZE) !=
            PROC_PIDTBSDINFO_SIZE)
        return std::nullopt;
    return static_cast<std::int64_t>(info.pbi_start_tvsec) * 1'000'000 +
           static_cast<std::int64_t>(info.pbi_start_tvusec);
}

std::optional<std::int64_t> integerOf(const cf::Dictionary& record, const char* key) {
    const cf::Value* value = record.get(key);
    if (!value || !value->number()) return std::nullopt;
    return value->number()->int64Value();
}

// The process that wrote a record, when the record names one.
struct Writer {
    std::int64_t pid = 0;
    std::int64_t start = 0;
    bool operator==(const Writer&) const = default;
};

std::optional<Writer> writerOf(const cf::Value& recordValue) {
    const cf::Dictionary* record = recordValue.dictionary();
    if (!record) return std::nullopt;
    const std::optional<std::int64_t> pid = integerOf(*record, kProcessKey);
    const std::optional<std::int64_t> start = integerOf(*record, kProcessStartKey);
    if (!pid || !start) return std::nullopt;
    return Writer{*pid, *start};
}

// Whether the process that wrote the record still runs. A record of any
// other shape still says that a reapply was under way.
bool stillRunning(const cf::Value& recordValue) {
    const std::optional<Writer> writer = writerOf(recordValue);
    return writer && processStart(writer->pid) == writer->start;
}

std::string whenOf(const cf::Value& recordValue) {
    const cf::Dictionary* record = recordValue.dictionary();
    const cf::Value* when = record ? record->get(kWhenKey) : nullptr;
    return when && when->string() ? *when->string() : std::string(kUnknownTime);
}

std::optional<Writer> thisProcess() {
    const std::int64_t pid = ::getpid();
    const std::optional<std::int64_t> start = processStart(pid);
    if (!start) return std::nullopt;
    return Writer{pid, *start};
}

// Refuses or allows the commands that program a card for as long as it
// lives; it goes with the frame that made it, also by an exception.
class GateScope {
public:
    explicit GateScope(std::function<bool()> gate) { Card::setProgrammingGate(std::move(gate)); }
    ~GateScope() { Card::setProgrammingGate(nullptr); }
    GateScope(const GateScope&) = delete;
    GateScope& operator=(const GateScope&) = delete;
};

}  // namespace

std::optional<std::string> unfinishedReapply() {
    for (Reapplier reapplier : {Reapplier::StartupTool, Reapplier::Pane}) {
        const RecordDomain read = readRecordDomain(domainOf(reapplier));
        if (read.unreadable) return std::string(kUnknownTime);
        for (const cf::Value& record : read.records) {
            if (!stillRunning(record)) return whenOf(record);
        }
    }
    return std::nullopt;
}

bool beginReapply(Reapplier reapplier, const std::string& when) {
    const std::optional<Writer> self = thisProcess();
    if (!self) return false;
    cf::Dictionary record;
    record.set(kWhenKey, when);
    record.set(kProcessKey, cf::CFNumberCreate(cf::kCFNumberSInt64Type, self->pid));
    record.set(kProcessStartKey, cf::CFNumberCreate(cf::kCFNumberSInt64Type, self->start));
    // Another reapply may add or clear its own record at the same moment.
    const host::PersistentDomainLock lock(domainOf(reapplier));
    if (!lock.locked()) {
        NSLog("Tarnwick: %s\n", lock.error().c_str());
        return false;
    }
    RecordDomain read = readRecordDomain(domainOf(reapplier));
    // Records that cannot be read are no reason to lose them by a rewrite.
    if (read.unreadable) return false;
    read.records.emplace_back(std::move(record));
    writeRecordDomain(domainOf(reapplier), std::move(read));
    // Only a record that is on the disk guards anything: synchronize tells
    // of any write that failed.
    return NSUserDefaults::standardUserDefaults().synchronize();
}

void endReapply(Reapplier reapplier) {
    const std::optional<Writer> self = thisProcess();
    const host::PersistentDomainLock lock(domainOf(reapplier));
    RecordDomain read = readRecordDomain(domainOf(reapplier));
    const auto before = read.records.size();
    std::erase_if(read.records,
                  [&](const cf::Value& record) { return self && writerOf(record) == self; });
    if (read.records.size() == before) return;
    writeRecordDomain(domainOf(reapplier), std::move(read));
    NSUserDefaults::standardUserDefaults().synchronize();
}

void clearUnfinishedReapplies() {
    NSUserDefaults& defaults = NSUserDefaults::standardUserDefaults();
    for (Reapplier reapplier : {Reapplier::StartupTool, Reapplier::Pane}) {
        const host::PersistentDomainLock lock(domainOf(reapplier));
        RecordDomain read = readRecordDomain(domainOf(reapplier));
        if (read.unreadable) {
            // Kept aside as <domain>.plist.corrupt, not lost.
            defaults.removePersistentDomainForName(domainOf(reapplier));
            continue;
        }
        const auto before = read.records.size();
        std::erase_if(read.records, [](const cf::Value& record) { return !stillRunning(record); });
        if (read.records.size() != before) writeRecordDomain(domainOf(reapplier), std::move(read));
    }
    defaults.synchronize();
}

ReapplyOutcome reapplyGuarded(Reapplier reapplier, const std::string& when,
                              const std::function<void()>& reapply) {
    if (const std::optional<std::string> unfinished = unfinishedReapply()) {
        NSLog(
            "Tarnwick: the saved clocks are not applied %s: applying them %s never finished (the "
            "machine hung at those clocks, or the program was stopped). Open the Tarnwick pane "
            "to choose other clocks.\n",
            when.c_str(), unfinished->c_str());
        return ReapplyOutcome::SkippedUnfinished;
    }
    // Reading the cards cannot hang the machine, programming them can: the
    // record is written before the first command that programs a card, so a
    // reapply with nothing to change writes nothing.
    enum class Record { None, Written, Refused } state = Record::None;
    {
        const GateScope scope([&] {
            if (state == Record::None) {
                state = beginReapply(reapplier, when) ? Record::Written : Record::Refused;
                if (state == Record::Refused)
                    NSLog(
                        "Tarnwick: the saved clocks are not applied %s: the record that guards "
                        "against clocks that hang the machine cannot be written\n",
                        when.c_str());
            }
            return state == Record::Written;
        });
        reapply();
    }
    if (state == Record::Written) endReapply(reapplier);
    return state == Record::Refused ? ReapplyOutcome::SkippedUnrecorded : ReapplyOutcome::Done;
}

void withProgrammingRefused(const std::function<void()>& work) {
    const GateScope scope([] { return false; });
    work();
}
