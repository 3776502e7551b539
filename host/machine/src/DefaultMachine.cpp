// The built-in machines. "default" has one card of each PLL family: an ATI
// Radeon 9800 Pro on AGP, an NV40 (two-stage PLLs, 27 MHz crystal) in
// SLOT-1 and an NV34 (single-stage PLLs, 13.5 MHz crystal) in SLOT-2, all at
// their power-on clocks. Each card holds clocks about 12 to 15 % above stock
// and hangs the machine above them.
#include <functional>
#include <utility>

#include "host/Machine.h"

namespace host {

namespace {

// Registry properties the way a Mac stores them: numbers as 4-byte data in
// host (little-endian) order, names as text with a terminating zero byte.
cf::Value u32(std::uint32_t v) {
    return cf::Data{static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8),
                    static_cast<std::uint8_t>(v >> 16), static_cast<std::uint8_t>(v >> 24)};
}

cf::Value text(const std::string& s) {
    cf::Data d(s.begin(), s.end());
    d.push_back(0);
    return d;
}

using Properties = std::vector<std::pair<std::string, cf::Value>>;

RegistryEntry bridge(const std::string& name, const std::string& className,
                     std::vector<RegistryEntry> children) {
    RegistryEntry e;
    e.name = name;
    e.className = className;
    e.properties.set("name", text("pci"));
    e.properties.set("device_type", text("pci"));
    e.children = std::move(children);
    return e;
}

RegistryEntry driver(HardwareKind kind, const RegisterFile& registers,
                     const ClockLimits& limits = {}) {
    RegistryEntry e;
    e.name = kClockDriverName;
    e.className = kClockDriverName;
    e.properties.set("IOClass", std::string(kClockDriverName));
    e.properties.set("CFBundleIdentifier", std::string("name.halvorn.oddny.TarnwickDriver"));
    e.properties.set("IOProbeScore", cf::CFNumberCreate(cf::kCFNumberIntType, 0));
    e.hardware = Hardware{kind, registers, registers, limits};
    return e;
}

RegistryEntry pciCard(const std::string& entryName, std::uint32_t vendor, std::uint32_t device,
                      const std::string& name, const std::string& model, const Properties& extra,
                      RegistryEntry clockDriver) {
    RegistryEntry e;
    e.name = entryName;
    e.className = "IOPCIDevice";
    e.properties.set("vendor-id", u32(vendor));
    e.properties.set("device-id", u32(device));
    e.properties.set("class-code", u32(0x030000));
    e.properties.set("revision-id", u32(0));
    e.properties.set("name", text(name));
    e.properties.set("model", text(model));
    for (const auto& [key, value] : extra) e.properties.set(key, value);
    e.children.push_back(std::move(clockDriver));
    return e;
}

// An R3xx Radeon: a PLL word on the 27 MHz reference, 128 MiB of DDR memory
// whose bus width register 0x140 gives, the firmware's part number and
// nominal clocks (kHz), then where it sits (`placement`).
RegistryEntry radeon(const std::string& entryName, std::uint32_t device, const std::string& chip,
                     const std::string& model, std::uint32_t pllWord, std::uint32_t memoryConfig,
                     const std::string& rom, std::uint32_t sclk, std::uint32_t mclk,
                     const Properties& placement, const ClockLimits& limits) {
    RegisterFile registers{{kPLLRegisterKey, pllWord},
                           {registerKey(0xF8), 128u << 20},
                           {registerKey(0x140), memoryConfig},
                           {registerKey(0x158), 0x6C0D0132}};
    Properties properties{{"ATY,Rom#", text(rom)},
                          {"ATY,SCLK", u32(sclk)},
                          {"ATY,MCLK", u32(mclk)},
                          {"ATY,RefCLK", u32(27000)}};
    properties.insert(properties.end(), placement.begin(), placement.end());
    return pciCard(entryName, 0x1002, device, chip, model, properties,
                   driver(HardwareKind::ATI, registers, limits));
}

// 27 MHz reference / 12 x 169 = 380.25 MHz core, x 151 = 339.75 MHz memory;
// 256-bit bus. Stable up to 430 / 380 MHz.
RegistryEntry radeon9800Pro() {
    return radeon("ATY,R350@10", 0x4E48, "ATY,R350", "ATI Radeon 9800 Pro",
                  12 | 151 << 8 | 169 << 16, 0x29002902, "113-A14403-104", 380000, 340000,
                  {{"AGP_Master", u32(1)}, {"IOAGPCommandValue", u32(0x1F000204)}}, {430.0, 380.0});
}

// 27 MHz / 12 x 178 = 400.5 MHz core, x 133 = 299.25 MHz memory; 128-bit
// bus. Stable up to 450 / 340 MHz.
RegistryEntry radeon9600Pro(const std::string& slot) {
    return radeon("ATY,RV350@2", 0x4150, "ATY,RV350", "ATI Radeon 9600 Pro",
                  12 | 133 << 8 | 178 << 16, 0x29002901, "113-A08203-107", 400000, 300000,
                  {{"AAPL,slot-name", text(slot)}}, {450.0, 340.0});
}

// NV4x formula with the 27 MHz crystal: core 27000 x 17 x 7 / (2 x 2) >> 1 =
// 401.625 MHz, memory 27000 x 9 x 9 / (2 x 1) >> 1 = 546.75 MHz. The memory
// words are mirrored in the further pairs the card keeps them in. Stable up
// to 460 / 620 MHz.
RegistryEntry geForce6800Ultra(const std::string& entryName, const std::string& slot) {
    constexpr std::uint32_t memControl = 0x80010000, memCoefficients = 0x09010902;
    RegisterFile registers{
        {registerKey(0x101000), 0x0040A28B},  // bit 22: 27 MHz crystal
        {registerKey(0x4000), 0x80010000},   {registerKey(0x4004), 0x07021102},
        {registerKey(0x4020), memControl},   {registerKey(0x4024), memCoefficients},
        {registerKey(0x402C), memControl},   {registerKey(0x4030), memCoefficients},
        {registerKey(0x4038), memControl},   {registerKey(0x403C), memCoefficients},
        {registerKey(0x4044), memControl},   {registerKey(0x4048), memCoefficients}};
    return pciCard(entryName, 0x10DE, 0x0040, "NVDA,Parent", "NVIDIA GeForce 6800 Ultra",
                   {{"AAPL,slot-name", text(slot)}},
                   driver(HardwareKind::NVIDIA, registers, {460.0, 620.0}));
}

// Single-stage PLLs with the 13.5 MHz crystal: core 13500 x 37 / 1 >> 1 =
// 249.75 MHz, memory 13500 x 89 / 3 >> 1 = 200.25 MHz. Stable up to 285 / 230
// MHz.
RegistryEntry geForceFX5200(const std::string& entryName, const std::string& slot) {
    RegisterFile registers{{registerKey(0x101000), 0x0000A28B},  // bit 6 clear: 13.5 MHz crystal
                           {registerKey(0x680500), 1 | 37 << 8 | 1 << 16},
                           {registerKey(0x680504), 3 | 89 << 8 | 1 << 16}};
    return pciCard(entryName, 0x10DE, 0x0322, "NVDA,Parent", "NVIDIA GeForce FX 5200",
                   {{"AAPL,slot-name", text(slot)}},
                   driver(HardwareKind::NVIDIA, registers, {285.0, 230.0}));
}

Machine machineWith(std::vector<RegistryEntry> entries) {
    Machine machine;
    machine.entries = std::move(entries);
    return machine;
}

RegistryEntry agpBridge(std::vector<RegistryEntry> cards) {
    return bridge("pci@f0000000", "AppleMacRiscAGP", std::move(cards));
}

RegistryEntry pciBridge(std::vector<RegistryEntry> cards) {
    return bridge("pci@f2000000", "AppleMacRiscPCI", std::move(cards));
}

struct Preset {
    const char* name;
    std::function<Machine()> build;
};

const std::vector<Preset>& presets() {
    static const std::vector<Preset> list{
        {"default", [] { return defaultMachine(); }},
        {"ati-only", [] { return machineWith({agpBridge({radeon9800Pro()})}); }},
        {"nvidia-only",
         [] {
             return machineWith({pciBridge({geForce6800Ultra("NVDA,Parent@1", "SLOT-1"),
                                            geForceFX5200("NVDA,Parent@2", "SLOT-2")})});
         }},
        {"two-ati",
         [] {
             return machineWith(
                 {agpBridge({radeon9800Pro()}), pciBridge({radeon9600Pro("SLOT-1")})});
         }},
        // A driver instance straight under the registry root has no card.
        {"orphan-driver",
         [] {
             RegisterFile registers{{kPLLRegisterKey, 12 | 151 << 8 | 169 << 16}};
             return machineWith(
                 {agpBridge({radeon9800Pro()}), driver(HardwareKind::ATI, registers)});
         }},
        {"empty",
         [] {
             return machineWith({agpBridge({}), pciBridge({})});
         }},
    };
    return list;
}

}  // namespace

Machine defaultMachine() {
    return machineWith(
        {agpBridge({radeon9800Pro()}), pciBridge({geForce6800Ultra("NVDA,Parent@1", "SLOT-1"),
                                                  geForceFX5200("NVDA,Parent@2", "SLOT-2")})});
}

std::optional<Machine> presetMachine(std::string_view name) {
    for (const Preset& preset : presets())
        if (name == preset.name) return preset.build();
    return std::nullopt;
}

std::vector<std::string> presetNames() {
    std::vector<std::string> names;
    for (const Preset& preset : presets()) names.emplace_back(preset.name);
    return names;
}

}  // namespace host
