// The temporary simulated Mac every test runs on, and builders for the
// machine files tests write.
#include "support/SimMacFixture.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string_view>

#include "host/Machine.h"
#include "host/MachineInterface.h"
#include "host/SimMac.h"

namespace testsupport {

namespace {

cf::Dictionary registerDictionary(const std::map<std::string, std::uint32_t>& registers) {
    cf::Dictionary dict;
    for (const auto& [key, value] : registers)
        dict.set(key, cf::Number::integer(cf::kCFNumberSInt64Type, value));
    return dict;
}

}  // namespace

TempSimMac::TempSimMac() {
    std::string pattern = (std::filesystem::temp_directory_path() / "simmac-test-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) {
        ADD_FAILURE() << "cannot create a temporary folder";
    }
    root_ = pattern;
    if (const char* old = std::getenv("SIMMAC_ROOT")) previousRoot_ = old;
    ::setenv("SIMMAC_ROOT", root_.c_str(), 1);
}

TempSimMac::~TempSimMac() {
    if (previousRoot_) {
        ::setenv("SIMMAC_ROOT", previousRoot_->c_str(), 1);
    } else {
        ::unsetenv("SIMMAC_ROOT");
    }
    std::error_code ec;
    std::filesystem::remove_all(root_, ec);
}

void TempSimMac::writeMachine(const cf::Value& machine) const {
    std::string error;
    if (!cf::writePropertyListFileAtomically((root_ / "machine.plist").string(), machine, &error))
        ADD_FAILURE() << "cannot write machine.plist: " << error;
}

cf::Value TempSimMac::readMachine() const {
    std::string error;
    std::shared_ptr<const host::Machine> machine = host::currentMachine(&error);
    if (!machine) {
        ADD_FAILURE() << "the machine cannot be read: " << error;
        return cf::Dictionary{};
    }
    return host::machineToPropertyList(*machine);
}

std::vector<host::DriverLogRecord> TempSimMac::driverLog(WithOldJournal old) const {
    std::vector<host::DriverLogRecord> records;
    std::vector<std::string> names{"driver.jsonl"};
    if (old == WithOldJournal::Yes) names.insert(names.begin(), "driver.jsonl.old");
    for (const std::string& name : names) {
        std::string error;
        std::vector<host::DriverLogRecord> file =
            host::readDriverLog((root_ / "Library" / "Logs" / name).string(), &error);
        if (!error.empty()) ADD_FAILURE() << name << ": " << error;
        records.insert(records.end(), file.begin(), file.end());
    }
    return records;
}

std::string TempSimMac::systemLog() const {
    return readFile(root_ / "Library" / "Logs" / "system.log");
}

std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void writeFile(const std::filesystem::path& path, const std::string& bytes) {
    std::error_code ec;
    std::filesystem::create_directories(path.parent_path(), ec);
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

std::map<std::string, std::uint32_t> TempSimMac::registers(const std::string& driverPath) const {
    std::string error;
    std::shared_ptr<const host::Machine> machine = host::currentMachine(&error);
    const host::RegistryEntry* entry = machine ? machine->find(driverPath) : nullptr;
    if (!entry || !entry->hardware) {
        ADD_FAILURE() << "the machine has no registers for " << driverPath << " " << error;
        return {};
    }
    return {entry->hardware->registers.begin(), entry->hardware->registers.end()};
}

cf::Data dataU32(std::uint32_t value) {
    return cf::Data{static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
                    static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)};
}

cf::Data dataText(const std::string& text) {
    cf::Data data(text.begin(), text.end());
    data.push_back(0);
    return data;
}

cf::Dictionary entry(const std::string& name, cf::Dictionary properties,
                     std::vector<cf::Dictionary> children) {
    cf::Dictionary dict;
    dict.set("Name", name);
    dict.set("Properties", std::move(properties));
    if (!children.empty()) {
        cf::Array array;
        for (cf::Dictionary& child : children) array.push_back(std::move(child));
        dict.set("Children", std::move(array));
    }
    return dict;
}

cf::Dictionary driverEntry(const std::string& kind,
                           const std::map<std::string, std::uint32_t>& registers,
                           std::optional<cf::Dictionary> faults) {
    cf::Dictionary dict = entry(host::kClockDriverName, cf::Dictionary{});
    cf::Dictionary hardware;
    hardware.set("Kind", kind);
    hardware.set("Registers", registerDictionary(registers));
    hardware.set("PowerOn", registerDictionary(registers));
    dict.set("Hardware", std::move(hardware));
    if (faults) dict.set("Driver", std::move(*faults));
    return dict;
}

cf::Dictionary driverFaults(const char* key, std::int64_t value) {
    cf::Dictionary faults;
    if (std::string_view(key) == "RefuseCommands")
        faults.set(key, cf::Array{cf::CFNumberCreate(cf::kCFNumberIntType, value)});
    else
        faults.set(key, cf::CFNumberCreate(cf::kCFNumberSInt64Type, value));
    return faults;
}

cf::Dictionary withLimits(cf::Dictionary driver, double vpuMHz, double memoryMHz) {
    cf::Value* hardware = driver.get("Hardware");
    if (!hardware || !hardware->dictionary()) {
        ADD_FAILURE() << "a driver entry without Hardware has no limits";
        return driver;
    }
    cf::Dictionary limits;
    limits.set("VPU", cf::CFNumberCreateReal(cf::kCFNumberDoubleType, vpuMHz));
    limits.set("Memory", cf::CFNumberCreateReal(cf::kCFNumberDoubleType, memoryMHz));
    hardware->dictionary()->set("Limits", std::move(limits));
    return driver;
}

cf::Value machine(std::vector<cf::Dictionary> topLevelEntries) {
    cf::Array entries;
    for (cf::Dictionary& e : topLevelEntries) entries.push_back(std::move(e));
    cf::Dictionary top;
    top.set("Entries", std::move(entries));
    return top;
}

cf::Dictionary savedCardEntry(const std::string& slot, const std::string& model, float vpu,
                              float memory, std::optional<float> stockVPU,
                              std::optional<float> stockMemory) {
    const auto real = [](float f) { return cf::CFNumberCreateReal(cf::kCFNumberFloatType, f); };
    cf::Dictionary e;
    e.set("Slot", slot);
    e.set("Model", model);
    e.set("VPU", real(vpu));
    e.set("Memory", real(memory));
    if (stockVPU) e.set("Stock VPU", real(*stockVPU));
    if (stockMemory) e.set("Stock Memory", real(*stockMemory));
    return e;
}

cf::Dictionary savedDomain(bool setAtStartup, std::vector<cf::Dictionary> entries) {
    cf::Dictionary domain;
    domain.set("Set at Startup", setAtStartup);
    domain.set("Cards", cf::Array(entries.begin(), entries.end()));
    return domain;
}

}  // namespace testsupport
