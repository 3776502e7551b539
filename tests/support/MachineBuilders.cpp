#include "support/MachineBuilders.h"

#include <gtest/gtest.h>

namespace testsupport {

namespace {

cf::Dictionary registerDictionary(const Registers& registers) {
    cf::Dictionary dict;
    for (const auto& [key, value] : registers)
        dict.set(key, cf::Number::integer(cf::kCFNumberSInt64Type, value));
    return dict;
}

}  // namespace

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
    if (!children.empty()) dict.set("Children", cf::Array(children.begin(), children.end()));
    return dict;
}

cf::Dictionary driverFaults(const DriverFaults& faults) {
    cf::Dictionary dict;
    if (faults.busyMilliseconds)
        dict.set("BusyMilliseconds",
                 cf::CFNumberCreate(cf::kCFNumberSInt64Type, *faults.busyMilliseconds));
    if (faults.refuseAfter)
        dict.set("RefuseAfter", cf::CFNumberCreate(cf::kCFNumberSInt64Type, *faults.refuseAfter));
    if (!faults.refuseCommands.empty()) {
        cf::Array codes;
        for (std::int64_t code : faults.refuseCommands) codes.push_back(integer(code));
        dict.set("RefuseCommands", std::move(codes));
    }
    return dict;
}

cf::Dictionary driverEntry(const std::string& kind, const Registers& registers,
                           std::optional<cf::Dictionary> faults) {
    cf::Dictionary dict = entry(kDriverName, cf::Dictionary{});
    cf::Dictionary hardware;
    hardware.set("Kind", kind);
    hardware.set("Registers", registerDictionary(registers));
    hardware.set("PowerOn", registerDictionary(registers));
    dict.set("Hardware", std::move(hardware));
    if (faults) dict.set("Driver", std::move(*faults));
    return dict;
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
    cf::Dictionary top;
    top.set("Entries", cf::Array(topLevelEntries.begin(), topLevelEntries.end()));
    return top;
}

cf::Dictionary cardEntry(const std::string& name, std::uint32_t vendor, cf::Dictionary driver,
                         const std::string& slot) {
    cf::Dictionary properties;
    properties.set("vendor-id", dataU32(vendor));
    properties.set("name", dataText(name));
    if (!slot.empty()) properties.set("AAPL,slot-name", dataText(slot));
    return entry(name, properties, {std::move(driver)});
}

cf::Dictionary otherVendorCard(const std::string& entryName, const std::string& slot) {
    cf::Dictionary properties;
    properties.set("vendor-id", dataU32(0x102B));
    properties.set("device-id", dataU32(0x0525));
    properties.set("AAPL,slot-name", dataText(slot));
    return entry(entryName, properties, {driverEntry("ATI", {{"PLL", 0x00646410}})});
}

cf::Dictionary atiEntry(const ATIDevice& device) {
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
    Registers registers = device.registers;
    registers["PLL"] = device.pll;
    cf::Dictionary driver = driverEntry("ATI", registers, device.faults);
    if (device.limits) driver = withLimits(driver, device.limits->first, device.limits->second);
    return entry(device.entryName, properties, {driver});
}

cf::Value atiMachine(const std::vector<ATIDevice>& devices) {
    std::vector<cf::Dictionary> entries;
    for (const ATIDevice& device : devices) entries.push_back(atiEntry(device));
    return machine(entries);
}

Registers nv4xRegisters(std::uint32_t strap) {
    return {{"0x101000", strap},
            {"0x4000", kNV4xCoreControl},
            {"0x4004", kNV4xCoreCoefficients},
            {"0x4020", kNV4xMemoryControl},
            {"0x4024", kNV4xMemoryCoefficients}};
}

Registers preNV4xRegisters(std::uint32_t strap) {
    return {{"0x101000", strap}, {"0x680500", kPreCorePLL}, {"0x680504", kPreMemoryPLL}};
}

cf::Dictionary nvidiaEntry(const std::string& entryName, std::uint32_t deviceID,
                           const std::string& slot, const Registers& registers,
                           std::optional<cf::Dictionary> faults, std::optional<std::string> model) {
    cf::Dictionary properties;
    properties.set("vendor-id", dataU32(0x10DE));
    properties.set("device-id", dataU32(deviceID));
    properties.set("name", dataText("NVDA,Display"));
    if (model) properties.set("model", dataText(*model));
    properties.set("AAPL,slot-name", dataText(slot));
    return entry(entryName, properties, {driverEntry("NVIDIA", registers, std::move(faults))});
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
