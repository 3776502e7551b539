#include "FuzzSimMac.h"

#include <sanitizer/common_interface_defs.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <stdlib.h>  // NOLINT(modernize-deprecated-headers): mkdtemp and setenv are POSIX
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <filesystem>
#include <mutex>
#include <optional>

#include "host/MachineControl.h"
#include "host/MachineInterface.h"
#include "host/RegularFile.h"
#include "host/SimMac.h"
#include "host/SimulatedHardware.h"
#include "support/DriverRules.h"

namespace fuzzsupport {

namespace {

std::filesystem::path root;
std::string pristineBytes;
std::optional<host::Machine> pristine;
struct stat pristineStat {};  // machine.plist as last put back

void removeRoot() {
    std::error_code ec;
    if (!root.empty()) std::filesystem::remove_all(root, ec);
}

std::string hex(std::uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%X", value);
    return text;
}

// The properties written out alike, a clock driver's "RegValue" left aside
// when `withoutAnswer`.
bool sameProperties(const cf::Dictionary& a, const cf::Dictionary& b, bool withoutAnswer) {
    auto i = a.items().begin(), j = b.items().begin();
    for (;;) {
        while (withoutAnswer && i != a.items().end() && i->first == "RegValue") ++i;
        while (withoutAnswer && j != b.items().end() && j->first == "RegValue") ++j;
        if (i == a.items().end() || j == b.items().end())
            return i == a.items().end() && j == b.items().end();
        if (i->first != j->first || !sameWhenWritten(i->second, j->second)) return false;
        ++i;
        ++j;
    }
}

bool sameOutsideDrivers(const host::RegistryEntry& now, const host::RegistryEntry& was) {
    if (now.name != was.name || now.className != was.className ||
        now.children.size() != was.children.size() ||
        !sameProperties(now.properties, was.properties, was.isClockDriver()))
        return false;
    if (!was.isClockDriver() &&
        (now.hardware || was.hardware || !now.driver.empty() || !was.driver.empty()))
        return false;
    for (std::size_t i = 0; i < now.children.size(); ++i)
        if (!sameOutsideDrivers(now.children[i], was.children[i])) return false;
    return true;
}

bool sameOutsideDrivers(const host::Machine& now, const host::Machine& was) {
    if (now.hung != was.hung || now.asleep != was.asleep ||
        now.entries.size() != was.entries.size())
        return false;
    for (std::size_t i = 0; i < now.entries.size(); ++i)
        if (!sameOutsideDrivers(now.entries[i], was.entries[i])) return false;
    return true;
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
        std::optional<std::string> bytes = host::readRegularFile(
            host::machinePlistPath(), host::Links::Follow, host::kMachineFileBytes, nullptr);
        if (!bytes || ::stat(host::machinePlistPath().c_str(), &pristineStat) != 0)
            fail("machine.plist was not written");
        pristineBytes = std::move(*bytes);
        pristine = host::loadMachineFile(host::machinePlistPath(), &error);
        if (!pristine) fail("the default machine does not load: " + error);
        std::filesystem::create_directories(host::preferencesDir(), ec);
    });
}

void resetSimMac() {
    // The default machine's checkpoint (its mark: no journal before it)
    // stays as long as no input wrote another: every writer replaces the
    // file, so an unchanged inode, size and times are the same file. (The
    // root is the one initSimMac made, for the life of the process.)
    static const std::string machine = host::machinePlistPath().string();
    static const std::string journal = host::driverLogPath().string();
    static const std::string systemLog = host::systemLogPath().string();
    struct stat now {};
    if (::stat(machine.c_str(), &now) != 0 || now.st_ino != pristineStat.st_ino ||
        now.st_dev != pristineStat.st_dev || now.st_size != pristineStat.st_size ||
        now.st_mtim.tv_sec != pristineStat.st_mtim.tv_sec ||
        now.st_mtim.tv_nsec != pristineStat.st_mtim.tv_nsec ||
        now.st_ctim.tv_sec != pristineStat.st_ctim.tv_sec ||
        now.st_ctim.tv_nsec != pristineStat.st_ctim.tv_nsec) {
        std::string error;
        if (!host::writeFileAtomically(machine, pristineBytes, &error) ||
            ::stat(machine.c_str(), &pristineStat) != 0)
            fail("cannot put machine.plist back: " + error);
    }
    // The journal rewound to the checkpoint: emptied, not removed, so that
    // the host's open journal stays the one it reads.
    if (::truncate(journal.c_str(), 0) != 0 && errno != ENOENT) fail("cannot empty the driver log");
    ::unlink(systemLog.c_str());
}

const host::Machine& pristineMachine() { return *pristine; }

std::string driverInvariantViolation(const host::Machine& now) {
    const host::Machine& before = pristineMachine();
    static const std::vector<std::string> drivers = before.driverPaths();
    if (now.driverPaths() != drivers)
        return "the clock drivers are not the ones of the default machine";
    for (const std::string& path : drivers) {
        const host::RegistryEntry& old = *before.find(path);
        const host::RegistryEntry& entry = *now.find(path);
        if (!entry.hardware) return path + ": lost its hardware";
        const host::Hardware& was = *old.hardware;
        const host::Hardware& is = *entry.hardware;
        if (is.kind != was.kind) return path + ": hardware kind changed";
        if (is.powerOn != was.powerOn) return path + ": PowerOn changed";
        // Both files in register order side by side: a register only one
        // of them lists reads as 0 in the other.
        for (auto w = was.registers.begin(), i = is.registers.begin();
             w != was.registers.end() || i != is.registers.end();) {
            const auto earlier = was.registers.key_comp();
            bool fromWas = i == is.registers.end(), fromIs = w == was.registers.end();
            if (!fromWas && !fromIs && w->first != i->first) {
                fromWas = earlier(w->first, i->first);
                fromIs = earlier(i->first, w->first);
            }
            const std::string& key = fromIs ? i->first : w->first;
            const std::uint32_t old = fromIs ? 0 : w->second, value = fromWas ? 0 : i->second;
            if (!fromIs) ++w;
            if (!fromWas) ++i;
            if (value != old && !driverrules::writable(is.kind == host::HardwareKind::ATI, key))
                return path + ": register " + key + " is off the write list but changed from " +
                       hex(old) + " to " + hex(value);
        }
        if (is.kind == host::HardwareKind::ATI) {
            const std::uint32_t word = is.read(host::kPLLRegisterKey);
            const host::ATIDividers d = host::atiDividers(word);
            if (!d.refDiv || !d.memFBDiv || !d.vpuFBDiv)
                return path + ": ATI PLL word " + hex(word) + " has a zero divider";
            if (word > 0xFFFFFF)
                return path + ": ATI PLL word " + hex(word) + " has bits above the core divider";
        }
    }
    // Everything else must be exactly as it was: equal as they stand, or
    // else written out (where a NaN equals itself).
    if (sameOutsideDrivers(now, before)) return {};
    host::Machine rest = now;
    for (const std::string& path : drivers) {
        const host::RegistryEntry& old = *before.find(path);
        host::RegistryEntry& entry = *rest.find(path);
        entry.hardware = old.hardware;
        entry.driver = old.driver;
        entry.properties.remove("RegValue");
    }
    host::Machine reference = before;
    for (const std::string& path : drivers) reference.find(path)->properties.remove("RegValue");
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

bool sameWhenWritten(const cf::Value& a, const cf::Value& b) {
    if (a.storage().index() != b.storage().index()) return false;
    if (const bool* x = a.boolean()) return *x == *b.boolean();
    if (const cf::Number* x = a.number()) {
        const cf::Number& y = *b.number();
        if (x->isReal() != y.isReal()) return false;
        if (!x->isReal()) return x->int64Value() == y.int64Value();
        const double p = x->doubleValue(), q = y.doubleValue();
        return std::memcmp(&p, &q, sizeof p) == 0;
    }
    if (const std::string* x = a.string()) return *x == *b.string();
    if (const cf::Data* x = a.data()) return *x == *b.data();
    if (const cf::Array* x = a.array()) {
        const cf::Array& y = *b.array();
        if (x->size() != y.size()) return false;
        for (std::size_t i = 0; i < x->size(); ++i)
            if (!sameWhenWritten((*x)[i], y[i])) return false;
        return true;
    }
    const cf::Dictionary& x = *a.dictionary();
    const cf::Dictionary& y = *b.dictionary();
    return sameProperties(x, y, false);
}

std::size_t writtenHash(const cf::Value& value) {
    std::size_t hash = value.storage().index();
    auto mix = [&hash](std::size_t part) { hash = hash * 1099511628211u ^ part; };
    if (const bool* x = value.boolean()) mix(*x);
    if (const cf::Number* x = value.number()) {
        mix(x->isReal());
        if (x->isReal()) {
            const double d = x->doubleValue();
            std::uint64_t bits;
            std::memcpy(&bits, &d, sizeof bits);
            mix(bits);
        } else {
            mix(static_cast<std::size_t>(x->int64Value()));
        }
    }
    if (const std::string* x = value.string()) mix(std::hash<std::string>{}(*x));
    if (const cf::Data* x = value.data())
        mix(std::hash<std::string_view>{}(
            std::string_view(reinterpret_cast<const char*>(x->data()), x->size())));
    if (const cf::Array* x = value.array())
        for (const cf::Value& item : *x) mix(writtenHash(item));
    if (const cf::Dictionary* x = value.dictionary())
        for (const auto& [key, item] : x->items()) {
            mix(std::hash<std::string>{}(key));
            mix(writtenHash(item));
        }
    return hash;
}

void writeInputFile(const std::string& path, std::string_view bytes) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) fail("cannot write " + path);
    for (std::size_t done = 0; done < bytes.size();) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n <= 0) fail("cannot write " + path);
        done += static_cast<std::size_t>(n);
    }
    ::close(fd);
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
