// Simulated NVIDIA cards for the NVIDIA card tests: machine entries, the
// discovery of their driver instances, and views of driver.jsonl.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "NVIDIACard.h"
#include "support/SimMacFixture.h"

namespace nvtest {

inline constexpr std::uint32_t kVendorNVIDIA = 0x10DE;
inline constexpr const char* kDriverLeaf = "/name_halvorn_oddny_TarnwickDriver";

// An NV4x card at power-on: 27 MHz strap, core 405 MHz (P = 1, M = 1, N = 15,
// M2 = 1, N2 = 2), memory 351 MHz (P = 1, M = 1, N = 13, M2 = 1, N2 = 2).
// The control words have bit 31 set, which must survive every round trip.
inline constexpr std::uint32_t kNV4xCoreControl = 0x80010A05;
inline constexpr std::uint32_t kNV4xCoreCoefficients = 0x02010F01;
inline constexpr std::uint32_t kNV4xMemoryControl = 0x80010E0C;
inline constexpr std::uint32_t kNV4xMemoryCoefficients = 0x02010D01;

// A pre-NV4x card at power-on: core M = 1, N = 37, P = 1; memory M = 1,
// N = 30, P = 0 (249.75 and 405 MHz on the 13.5 MHz crystal).
inline constexpr std::uint32_t kPreCorePLL = 0x00012501;
inline constexpr std::uint32_t kPreMemoryPLL = 0x00001E01;

inline std::map<std::string, std::uint32_t> nv4xRegisters(std::uint32_t strap = 0x00400000) {
    return {{"0x101000", strap},
            {"0x4000", kNV4xCoreControl},
            {"0x4004", kNV4xCoreCoefficients},
            {"0x4020", kNV4xMemoryControl},
            {"0x4024", kNV4xMemoryCoefficients}};
}

inline std::map<std::string, std::uint32_t> preNV4xRegisters(std::uint32_t strap = 0) {
    return {{"0x101000", strap}, {"0x680500", kPreCorePLL}, {"0x680504", kPreMemoryPLL}};
}

// A top-level device entry named `entryName` with its driver instance beneath.
inline cf::Dictionary nvidiaCard(const std::string& entryName, std::uint32_t deviceID,
                                 const std::string& slot,
                                 const std::map<std::string, std::uint32_t>& registers,
                                 std::optional<cf::Dictionary> faults = std::nullopt,
                                 std::optional<std::string> model = std::string("NVIDIA GeForce")) {
    cf::Dictionary properties;
    properties.set("vendor-id", testsupport::dataU32(kVendorNVIDIA));
    properties.set("device-id", testsupport::dataU32(deviceID));
    properties.set("name", testsupport::dataText("NVDA,Display"));
    if (model) properties.set("model", testsupport::dataText(*model));
    properties.set("AAPL,slot-name", testsupport::dataText(slot));
    return testsupport::entry(entryName, properties,
                              {testsupport::driverEntry("NVIDIA", registers, std::move(faults))});
}

inline std::string driverPath(const std::string& entryName) { return entryName + kDriverLeaf; }

// The driver instances in discovery order.
inline std::vector<io_service_t> driverInstances() {
    std::vector<io_service_t> out;
    io_iterator_t iterator = 0;
    if (IOServiceGetMatchingServices(kIOMasterPortDefault,
                                     IOServiceNameMatching(kTarnwickDriverName),
                                     &iterator) != kIOReturnSuccess) {
        return out;
    }
    while (io_object_t service = IOIteratorNext(iterator)) out.push_back(service);
    IOObjectRelease(iterator);
    return out;
}

// Creates the card of the `index`-th driver instance; nullptr when rejected.
inline std::unique_ptr<NVIDIACard> createCard(std::size_t index = 0) {
    const auto instances = driverInstances();
    if (index >= instances.size()) return nullptr;
    auto card = std::make_unique<NVIDIACard>();
    if (!card->initWithIOObject(instances[index])) return nullptr;
    return card;
}

struct Command {
    std::int64_t command;
    std::uint32_t argument;
    std::optional<std::uint32_t> argument2;
    bool accepted;
    bool operator==(const Command&) const = default;
};

inline Command read(std::uint32_t offset) { return {11, offset, std::nullopt, true}; }
inline Command write(std::uint32_t offset, std::uint32_t value, bool accepted = true) {
    return {12, offset, value, accepted};
}

// The commands of driver.jsonl from record `from` on, arguments as the
// 32 bits that were sent.
inline std::vector<Command> commands(const testsupport::TempSimMac& mac, std::size_t from = 0) {
    std::vector<Command> out;
    const auto log = mac.driverLog();
    for (std::size_t i = from; i < log.size(); ++i) {
        const auto& r = log[i];
        std::optional<std::uint32_t> argument2;
        if (r.argument2) argument2 = static_cast<std::uint32_t>(*r.argument2);
        out.push_back({r.command, static_cast<std::uint32_t>(r.argument.value_or(-1)), argument2,
                       r.result == 0});
    }
    return out;
}

// Only the register writes (command 12) of commands().
inline std::vector<Command> writes(const testsupport::TempSimMac& mac, std::size_t from = 0) {
    std::vector<Command> out;
    for (const Command& c : commands(mac, from)) {
        if (c.command == 12) out.push_back(c);
    }
    return out;
}

// Readable failures for command lists.
inline std::ostream& operator<<(std::ostream& os, const nvtest::Command& c) {
    os << "{" << c.command << ", 0x" << std::hex << c.argument;
    if (c.argument2) os << ", 0x" << *c.argument2;
    os << std::dec << (c.accepted ? "" : ", refused") << "}";
    return os;
}

}  // namespace nvtest
