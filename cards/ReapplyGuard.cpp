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

const char* domainOf(Reapplier reapplier) {
    return reapplier == Reapplier::StartupTool ? kStartupToolReapplyDomain : kPaneReapplyDomain;
}

cf::Dictionary recordDomain(const char* name) {
    return NSUserDefaults::standardUserDefaults().persistentDomainForName(name).value_or(
        cf::Dictionary{});
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

// Whether the process that wrote the record still runs. A record of any
// other shape still says that a reapply was under way.
bool stillRunning(const cf::Value& recordValue) {
    const cf::Dictionary* record = recordValue.dictionary();
    if (!record) return false;
    const std::optional<std::int64_t> pid = integerOf(*record, kProcessKey);
    const std::optional<std::int64_t> start = integerOf(*record, kProcessStartKey);
    return pid && start && processStart(*pid) == start;
}

std::string whenOf(const cf::Value& recordValue) {
    const cf::Dictionary* record = recordValue.dictionary();
    const cf::Value* when = record ? record->get(kWhenKey) : nullptr;
    return when && when->string() ? *when->string() : std::string("at an unknown time");
}

// Writes the record's domain without the record; a domain left empty goes.
void dropRecord(Reapplier reapplier, cf::Dictionary domain) {
    NSUserDefaults& defaults = NSUserDefaults::standardUserDefaults();
    domain.remove(kReapplyInProgressKey);
    if (domain.empty())
        defaults.removePersistentDomainForName(domainOf(reapplier));
    else
        defaults.setPersistentDomain(domain, domainOf(reapplier));
}

}  // namespace

std::optional<std::string> unfinishedReapply() {
    for (Reapplier reapplier : {Reapplier::StartupTool, Reapplier::Pane}) {
        const cf::Dictionary domain = recordDomain(domainOf(reapplier));
        const cf::Value* record = domain.get(kReapplyInProgressKey);
        if (record && !stillRunning(*record)) return whenOf(*record);
    }
    return std::nullopt;
}

bool beginReapply(Reapplier reapplier, const std::string& when) {
    const std::int64_t pid = ::getpid();
    const std::optional<std::int64_t> start = processStart(pid);
    if (!start) return false;
    cf::Dictionary record;
    record.set(kWhenKey, when);
    record.set(kProcessKey, cf::CFNumberCreate(cf::kCFNumberSInt64Type, pid));
    record.set(kProcessStartKey, cf::CFNumberCreate(cf::kCFNumberSInt64Type, *start));
    NSUserDefaults& defaults = NSUserDefaults::standardUserDefaults();
    cf::Dictionary domain = recordDomain(domainOf(reapplier));
    domain.set(kReapplyInProgressKey, record);
    defaults.setPersistentDomain(domain, domainOf(reapplier));
    // Only a record that is on the disk guards anything: synchronize tells
    // of any write that failed.
    return defaults.synchronize();
}

void endReapply(Reapplier reapplier) {
    cf::Dictionary domain = recordDomain(domainOf(reapplier));
    if (!domain.contains(kReapplyInProgressKey)) return;
    dropRecord(reapplier, std::move(domain));
    NSUserDefaults::standardUserDefaults().synchronize();
}

void clearUnfinishedReapplies() {
    for (Reapplier reapplier : {Reapplier::StartupTool, Reapplier::Pane}) {
        cf::Dictionary domain = recordDomain(domainOf(reapplier));
        const cf::Value* record = domain.get(kReapplyInProgressKey);
        if (record && !stillRunning(*record)) dropRecord(reapplier, std::move(domain));
    }
    NSUserDefaults::standardUserDefaults().synchronize();
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
    // The gate refers to this frame: it goes with it, also by an exception.
    struct GateScope {
        GateScope(const GateScope&) = delete;
        GateScope& operator=(const GateScope&) = delete;
        explicit GateScope(std::function<bool()> gate) {
            Card::setProgrammingGate(std::move(gate));
        }
        ~GateScope() { Card::setProgrammingGate(nullptr); }
    };
    GateScope scope([&] {
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
    if (state == Record::Written) endReapply(reapplier);
    return state == Record::Refused ? ReapplyOutcome::SkippedUnrecorded : ReapplyOutcome::Done;
}
