// A simulated Mac for one test: a temporary SIMMAC_ROOT, a machine file
// written by the test, and readers for what reached the hardware. Every
// test includes it first (the test programs precompile it): GoogleTest, the
// standard containers and the machine builders come with it.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "host/CoreFoundation.h"
#include "host/DriverLog.h"
#include "support/MachineBuilders.h"

namespace testsupport {

enum class WithOldJournal { No, Yes };
// A command as the driver log shows it, arguments as the 32 bits sent.
struct Command {
    std::int64_t command = 0;
    std::uint32_t argument = 0;
    std::optional<std::uint32_t> argument2 = std::nullopt;
    bool accepted = true;
    bool operator==(const Command&) const = default;
};
std::ostream& operator<<(std::ostream& os, const Command& c);
// The NVIDIA register commands.
inline Command nvRead(std::uint32_t offset, bool accepted = true) {
    return {11, offset, std::nullopt, accepted};
}
inline Command nvWrite(std::uint32_t offset, std::uint32_t value, bool accepted = true) {
    return {12, offset, value, accepted};
}

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
    std::size_t commandCount() const { return driverLog().size(); }
    // The commands of the driver log from record `from` on; only those to
    // `driver` and of the command `code` when given.
    std::vector<Command> commands(std::size_t from = 0, const std::string& driver = {},
                                  std::optional<std::int64_t> code = std::nullopt) const;
    // The WriteATIPLL words that reached the drivers (or `driver`), accepted
    // ones only unless `acceptedOnly` is false.
    std::vector<std::uint32_t> pllWrites(const std::string& driver = {}, std::size_t from = 0,
                                         bool acceptedOnly = true) const;
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
void writeFile(const std::filesystem::path& path, const std::string& bytes,
               bool executable = false);

// The file of the user defaults domain `name`, and the domain as it holds
// it (nothing when it cannot be read) or written into it.
std::filesystem::path domainFile(const std::string& name);
std::optional<cf::Dictionary> readDomain(const std::string& name);
void writeDomain(const std::string& name, const cf::Dictionary& domain);

#define EXPECT_CONTAINS(text, part) EXPECT_NE((text).find(part), std::string::npos) << (text)
#define EXPECT_LACKS(text, part) EXPECT_EQ((text).find(part), std::string::npos) << (text)

}  // namespace testsupport
