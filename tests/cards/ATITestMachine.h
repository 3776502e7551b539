// Simulated Macs with ATI cards for the card library's tests: one device
// entry per card with its clock driver beneath it, and discovery of the ATI
// cards the way the startup tool finds them.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ATICard.h"
#include "CardDiscovery.h"
#include "SavedSettings.h"
#include "host/IOKit.h"
#include "support/SimMacFixture.h"

namespace atitest {

inline constexpr std::uint32_t pllWord(std::uint8_t refDiv, std::uint8_t memFBDiv,
                                       std::uint8_t vpuFBDiv) {
    return refDiv + (std::uint32_t{memFBDiv} << 8) + (std::uint32_t{vpuFBDiv} << 16);
}

// One ATI card of a machine file. Texts are stored as the Mac stores them:
// data with a terminating zero byte.
struct ATIDevice {
    std::string entryName = "ATY,Card";
    std::uint16_t deviceID = 0x4E48;  // factor 1 for both clocks
    std::optional<std::string> rom;
    std::optional<std::string> model = std::string("ATY,TestCard");  // the "model" property
    std::optional<std::string> name;
    std::optional<std::string> slotName = std::string("SLOT-1");
    bool agpMaster = false;
    std::optional<std::uint32_t> sclk, mclk, refclk;  // kHz, as the firmware states them
    std::uint32_t pll = pllWord(12, 100, 100);        // 225 MHz / 225 MHz at 27 MHz
    std::map<std::string, std::uint32_t> registers;   // besides "PLL"
    std::optional<cf::Dictionary> faults;
    cf::Dictionary extraProperties;
};

inline cf::Dictionary deviceEntry(const ATIDevice& device) {
    using testsupport::dataText;
    using testsupport::dataU32;
    cf::Dictionary properties;
    properties.set("vendor-id", dataU32(0x1002));
    properties.set("device-id", dataU32(device.deviceID));
    if (device.rom) properties.set("ATY,Rom#", dataText(*device.rom));
    if (device.model) properties.set("model", dataText(*device.model));
    if (device.name) properties.set("name", dataText(*device.name));
    if (device.slotName) properties.set("AAPL,slot-name", dataText(*device.slotName));
    if (device.agpMaster) properties.set("AGP_Master", dataU32(1));
    if (device.sclk) properties.set("ATY,SCLK", dataU32(*device.sclk));
    if (device.mclk) properties.set("ATY,MCLK", dataU32(*device.mclk));
    if (device.refclk) properties.set("ATY,RefCLK", dataU32(*device.refclk));
    for (const auto& [key, value] : device.extraProperties.items()) properties.set(key, value);
    std::map<std::string, std::uint32_t> registers = device.registers;
    registers["PLL"] = device.pll;
    return testsupport::entry(device.entryName, properties,
                              {testsupport::driverEntry("ATI", registers, device.faults)});
}

inline cf::Value atiMachine(const std::vector<ATIDevice>& devices) {
    std::vector<cf::Dictionary> entries;
    entries.reserve(devices.size());
    for (const ATIDevice& device : devices) entries.push_back(deviceEntry(device));
    return testsupport::machine(entries);
}

inline std::string driverPath(const ATIDevice& device) {
    return device.entryName + "/" + kTarnwickDriverName;
}

// The ATI cards of the simulated Mac, in discovery order.
inline CardList discoverATICards() {
    const auto atiOnly = [](std::uint32_t vendorID) -> std::unique_ptr<Card> {
        if (vendorID != kATIVendorID) return nullptr;
        return std::make_unique<ATICard>();
    };
    return discoverCards(atiOnly).cards;
}

// The arguments of the WriteATIPLL commands that reached a driver, in order.
inline std::vector<std::uint32_t> pllWrites(const testsupport::TempSimMac& mac,
                                            std::optional<std::string> driver = std::nullopt,
                                            bool acceptedOnly = true) {
    std::vector<std::uint32_t> words;
    for (const host::DriverLogRecord& record : mac.driverLog()) {
        if (record.command != WriteATIPLL || (driver && record.driver != *driver)) continue;
        if (acceptedOnly && record.result != 0) continue;
        words.push_back(static_cast<std::uint32_t>(record.argument.value_or(-1)));
    }
    return words;
}

inline std::size_t logSize(const testsupport::TempSimMac& mac) { return mac.driverLog().size(); }

}  // namespace atitest
