// The temporary simulated Mac every test runs on, and readers of what
// reached its hardware and files.
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
// No test reaches the simulated Mac in the real home: outside a TempSimMac,
// SIMMAC_ROOT names a folder of the test program's own, gone at exit.
struct ProgramRoot {
    std::filesystem::path root;
    ProgramRoot() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "simmac-tests-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) return;
        root = pattern;
        ::setenv("SIMMAC_ROOT", pattern.c_str(), 1);
    }
    ~ProgramRoot() {
        std::error_code ec;
        if (!root.empty()) std::filesystem::remove_all(root, ec);
    }
} programRoot;
}  // namespace

std::ostream& operator<<(std::ostream& os, const Command& c) {
    os << "{" << c.command << ", 0x" << std::hex << c.argument;
    if (c.argument2) os << ", 0x" << *c.argument2;
    return os << std::dec << (c.accepted ? "" : ", refused") << "}";
}

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

void writeFile(const std::filesystem::path& path, const std::string& bytes, bool executable) {
    std::error_code ec;
    std::filesystem::create_directories(path.parent_path(), ec);
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
    using std::filesystem::perms;
    if (executable)
        std::filesystem::permissions(path, perms::owner_all | perms::group_read | perms::group_exec,
                                     ec);
}

std::filesystem::path domainFile(const std::string& name) {
    return host::preferencesDir() / (name + ".plist");
}

std::optional<cf::Dictionary> readDomain(const std::string& name) {
    std::string error;
    std::optional<cf::Value> value = cf::readPropertyListFile(domainFile(name).string(), &error);
    if (!value || !value->dictionary()) return std::nullopt;
    return *value->dictionary();
}

void writeDomain(const std::string& name, const cf::Dictionary& domain) {
    std::string error;
    if (!cf::writePropertyListFileAtomically(domainFile(name).string(), domain, &error))
        ADD_FAILURE() << "cannot write the domain " << name << ": " << error;
}

std::vector<Command> TempSimMac::commands(std::size_t from, const std::string& driver,
                                          std::optional<std::int64_t> code) const {
    std::vector<Command> out;
    const std::vector<host::DriverLogRecord> log = driverLog();
    for (std::size_t i = from; i < log.size(); ++i) {
        const host::DriverLogRecord& r = log[i];
        if ((!driver.empty() && r.driver != driver) || (code && r.command != *code)) continue;
        std::optional<std::uint32_t> argument2;
        if (r.argument2) argument2 = static_cast<std::uint32_t>(*r.argument2);
        out.push_back({r.command, static_cast<std::uint32_t>(r.argument.value_or(-1)), argument2,
                       r.result == 0});
    }
    return out;
}

std::vector<std::uint32_t> TempSimMac::pllWrites(const std::string& driver, std::size_t from,
                                                 bool acceptedOnly) const {
    std::vector<std::uint32_t> words;
    for (const Command& c : commands(from, driver, 2))
        if (c.accepted || !acceptedOnly) words.push_back(c.argument);
    return words;
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

}  // namespace testsupport
