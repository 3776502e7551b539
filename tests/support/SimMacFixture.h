// A simulated Mac for one test: a temporary SIMMAC_ROOT, a machine file
// written by the test, and readers for what reached the hardware.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "host/CoreFoundation.h"
#include "host/DriverLog.h"

namespace testsupport {

enum class WithOldJournal { No, Yes };

// Creates a fresh temporary folder, points SIMMAC_ROOT at it for this
// process (and its children) and removes it again at the end.
class TempSimMac {
public:
    TempSimMac();
    ~TempSimMac();
    TempSimMac(const TempSimMac&) = delete;
    TempSimMac& operator=(const TempSimMac&) = delete;

    const std::filesystem::path& root() const { return root_; }
    void writeMachine(const cf::Value& machine) const;  // machine.plist
    // The machine as it is now (machine.plist with the journal after it), as
    // a machine file would hold it; fails the test when it cannot be read.
    cf::Value readMachine() const;
    // driver.jsonl's records, after those of driver.jsonl.old when asked;
    // empty when there is none.
    std::vector<host::DriverLogRecord> driverLog(WithOldJournal old = WithOldJournal::No) const;
    std::string systemLog() const;  // empty when there is none
    // Registers of the driver at `driverPath` ("PLL", "0x4000", ...) as they
    // are now, read as every program reads the machine.
    std::map<std::string, std::uint32_t> registers(const std::string& driverPath) const;

private:
    std::filesystem::path root_;
    std::optional<std::string> previousRoot_;  // put back at the end; fixtures may nest
};

// A whole file's bytes; empty when it cannot be read.
std::string readFile(const std::filesystem::path& path);
// Replaces the file's bytes in place, creating missing folders.
void writeFile(const std::filesystem::path& path, const std::string& bytes);

// Builders for machine files.
cf::Data dataU32(std::uint32_t value);       // 4 bytes, little endian, as the Mac stores ids
cf::Data dataText(const std::string& text);  // the bytes and a terminating zero byte
cf::Dictionary entry(const std::string& name, cf::Dictionary properties,
                     std::vector<cf::Dictionary> children = {});
// A clock driver instance named name_halvorn_oddny_TarnwickDriver.
// Registers are keyed "PLL" or "0x..." hex; PowerOn defaults to the same values.
cf::Dictionary driverEntry(const std::string& kind,
                           const std::map<std::string, std::uint32_t>& registers,
                           std::optional<cf::Dictionary> faults = std::nullopt);
// A driver's "Driver" faults dictionary with one fault: "BusyMilliseconds",
// "RefuseAfter" (integers), or "RefuseCommands" (that one command code).
cf::Dictionary driverFaults(const char* key, std::int64_t value);
// The driver entry with its card's "Limits" (MHz): a write above them hangs
// the machine and ends the process that sent it.
cf::Dictionary withLimits(cf::Dictionary driver, double vpuMHz, double memoryMHz);
cf::Value machine(std::vector<cf::Dictionary> topLevelEntries);

// Builders for the pane's saved settings: one card's entry ("Slot", "Model",
// "VPU", "Memory" and the stock clocks given, as floats) and the domain that
// holds the entries.
cf::Dictionary savedCardEntry(const std::string& slot, const std::string& model, float vpu,
                              float memory, std::optional<float> stockVPU = std::nullopt,
                              std::optional<float> stockMemory = std::nullopt);
cf::Dictionary savedDomain(bool setAtStartup, std::vector<cf::Dictionary> entries);

}  // namespace testsupport
