#include "FuzzSimMac.h"

#include <sanitizer/common_interface_defs.h>
#include <stdlib.h>  // NOLINT(modernize-deprecated-headers): mkdtemp and setenv are POSIX
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <optional>

#include "host/MachineControl.h"
#include "host/MachineInterface.h"
#include "host/SimMac.h"
#include "host/SimulatedHardware.h"
#include "support/DriverRules.h"

namespace fuzzsupport {

namespace {

std::filesystem::path root;
std::string pristineBytes;
std::optional<host::Machine> pristine;

void removeRoot() {
    std::error_code ec;
    if (!root.empty()) std::filesystem::remove_all(root, ec);
}

std::optional<std::string> readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string hex(std::uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%X", value);
    return text;
}

}  // namespace

void initSimMac() {
    static std::once_flag once;
    std::call_once(once, [] {
        // $TMPDIR when set, else in memory when the machine has a tmpfs:
        // every driver command appends to the journal, and a disk would set
        // the pace.
        std::error_code ec;
        const std::filesystem::path shm = "/dev/shm";
        const std::filesystem::path base = !std::getenv("TMPDIR") &&
                                                   std::filesystem::is_directory(shm, ec) &&
                                                   ::access(shm.c_str(), W_OK) == 0
                                               ? shm
                                               : std::filesystem::temp_directory_path();
        std::string pattern = (base / "tarnwick-fuzz-XXXXXX").string();
        if (!::mkdtemp(pattern.data())) fail("cannot create a temporary folder");
        root = pattern;
        std::atexit(removeRoot);
        ::setenv("SIMMAC_ROOT", root.c_str(), 1);
        // Without the cards' limits: a write above them would end this
        // process with SIGKILL, as the machine hangs under its sender.
        host::Machine machine = host::defaultMachine();
        machine.forEachMutable([](const std::string&, host::RegistryEntry& entry) {
            if (entry.hardware) entry.hardware->limits = host::ClockLimits{};
        });
        std::string error;
        if (!host::replaceMachine(machine, &error))
            fail("cannot write the default machine: " + error);
        std::optional<std::string> bytes = readFile(host::machinePlistPath());
        if (!bytes) fail("machine.plist was not written");
        pristineBytes = std::move(*bytes);
        pristine = host::loadMachineFile(host::machinePlistPath(), &error);
        if (!pristine) fail("the default machine does not load: " + error);
    });
}

void resetSimMac() {
    std::optional<std::string> bytes = readFile(host::machinePlistPath());
    if (!bytes || *bytes != pristineBytes) {
        std::string error;
        if (!host::writeFileAtomically(host::machinePlistPath(), pristineBytes, &error))
            fail("cannot put machine.plist back: " + error);
    }
    ::unlink(host::driverLogPath().c_str());
    ::unlink(host::systemLogPath().c_str());
}

const host::Machine& pristineMachine() { return *pristine; }

std::string driverInvariantViolation(const host::Machine& now) {
    const host::Machine& before = pristineMachine();
    if (now.driverPaths() != before.driverPaths())
        return "the clock drivers are not the ones of the default machine";
    host::Machine rest = now;
    for (const std::string& path : before.driverPaths()) {
        const host::RegistryEntry& old = *before.find(path);
        host::RegistryEntry& entry = *rest.find(path);
        if (!entry.hardware) return path + ": lost its hardware";
        const host::Hardware& was = *old.hardware;
        const host::Hardware& is = *entry.hardware;
        if (is.kind != was.kind) return path + ": hardware kind changed";
        if (is.powerOn != was.powerOn) return path + ": PowerOn changed";
        for (const auto* file : {&was.registers, &is.registers}) {
            for (const auto& [key, value] : *file) {
                (void)value;
                if (is.read(key) != was.read(key) &&
                    !driverrules::writable(is.kind == host::HardwareKind::ATI, key))
                    return path + ": register " + key + " is off the write list but changed from " +
                           hex(was.read(key)) + " to " + hex(is.read(key));
            }
        }
        if (is.kind == host::HardwareKind::ATI) {
            const std::uint32_t word = is.read(host::kPLLRegisterKey);
            const host::ATIDividers d = host::atiDividers(word);
            if (!d.refDiv || !d.memFBDiv || !d.vpuFBDiv)
                return path + ": ATI PLL word " + hex(word) + " has a zero divider";
            if (word > 0xFFFFFF)
                return path + ": ATI PLL word " + hex(word) + " has bits above the core divider";
        }
        // Everything else must be exactly as it was.
        entry.hardware = old.hardware;
        entry.driver = old.driver;
        entry.properties.remove("RegValue");
    }
    host::Machine reference = before;
    for (const std::string& path : before.driverPaths())
        reference.find(path)->properties.remove("RegValue");
    if (!samePropertyList(host::machineToPropertyList(rest),
                          host::machineToPropertyList(reference)))
        return "the registry changed outside the clock drivers' registers";
    return {};
}

void checkMachineOrAbort(std::string_view context) {
    std::string error;
    std::shared_ptr<const host::Machine> now = host::currentMachine(&error);
    if (!now) fail(std::string(context) + ": the machine no longer reads: " + error);
    std::string violation = driverInvariantViolation(*now);
    if (!violation.empty()) fail(std::string(context) + ": " + violation);
}

bool samePropertyList(const cf::Value& a, const cf::Value& b) {
    return cf::toXMLPropertyList(a) == cf::toXMLPropertyList(b);
}

void fail(std::string_view what) {
    const std::string message = "fuzz invariant broken: " + std::string(what);
    std::fprintf(stderr, "%s\n", message.c_str());
    std::fflush(stderr);
    // Also through the sanitizers' report channel, which libFuzzer keeps open
    // when it silences the targets' stderr (-close_fd_mask=2).
    __sanitizer_report_error_summary(message.c_str());
    std::abort();
}

std::uint8_t ByteReader::u8() { return pos_ < size_ ? data_[pos_++] : 0; }

std::uint32_t ByteReader::u32() {
    std::uint32_t value = 0;
    for (int i = 0; i < 4; ++i) value |= std::uint32_t{u8()} << (8 * i);
    return value;
}

std::uint64_t ByteReader::u64() { return std::uint64_t{u32()} | std::uint64_t{u32()} << 32; }

std::string ByteReader::bytes(std::size_t max) {
    std::size_t n = max ? u8() % (max + 1) : 0;
    n = std::min(n, size_ - std::min(pos_, size_));
    std::string out(reinterpret_cast<const char*>(data_) + pos_, n);
    pos_ += n;
    return out;
}

}  // namespace fuzzsupport
