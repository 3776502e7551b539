// simmac show: the registry tree with every property, and for each clock
// driver the registers of its card and the clocks its PLLs produce.
#include <cstdio>
#include <iostream>

#include "SimmacCommands.h"
#include "host/SimMac.h"
#include "host/SimulatedHardware.h"

namespace simmac {

namespace {

std::string indent(int depth) { return std::string(static_cast<std::size_t>(depth) * 4, ' '); }

std::string mhz(double value) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.3f MHz", value);
    return buffer;
}

std::optional<std::uint32_t> u32Property(const host::RegistryEntry* entry, const char* key) {
    if (!entry) return std::nullopt;
    const cf::Value* value = entry->properties.get(key);
    if (!value || !value->data() || value->data()->empty()) return std::nullopt;
    const cf::Data& d = *value->data();
    std::uint32_t result = 0;
    for (std::size_t i = 0; i < d.size() && i < 4; ++i)
        result |= static_cast<std::uint32_t>(d[i]) << (8 * i);
    return result;
}

bool modelHasX1(const host::RegistryEntry* card) {
    if (!card) return false;
    const cf::Value* model = card->properties.get("model");
    if (!model || !model->data()) return false;
    std::string text(model->data()->begin(), model->data()->end());
    return text.substr(0, text.find('\0')).find("X1") != std::string::npos;
}

void showATIClocks(const host::Hardware& hw, const host::RegistryEntry* card, int depth) {
    // The card's firmware states the reference clock in kHz (tenths of that
    // on X1 cards); 27 MHz when it does not say.
    std::uint32_t refCLK = u32Property(card, "ATY,RefCLK").value_or(0);
    double refClock = refCLK / 1000.0;
    if (refClock == 0) refClock = 27.0;
    if (modelHasX1(card)) refClock *= 10;
    host::ATIDividers d = host::atiDividers(hw.read(host::kPLLRegisterKey));
    auto line = [&](const char* label, std::uint8_t feedback) {
        std::cout << indent(depth) << label << mhz(refClock) << " / " << int(d.refDiv) << " x "
                  << int(feedback) << " = ";
        if (d.refDiv == 0)
            std::cout << "stopped (reference divider 0)\n";
        else
            std::cout << mhz(refClock / d.refDiv * feedback) << "\n";
    };
    line("core:   ", d.vpuFBDiv);
    line("memory: ", d.memFBDiv);
}

void showNVIDIAClocks(const host::Hardware& hw, const host::RegistryEntry* card, int depth) {
    std::optional<std::uint32_t> device = u32Property(card, "device-id");
    bool nv4x = device ? host::isNV4xDevice(static_cast<std::uint16_t>(*device & 0xFFFF))
                       : hw.registers.count(host::registerKey(host::kNVCoreCoefficients)) > 0;
    std::int32_t crystal = host::nvidiaCrystalKHz(hw.read(host::kNVStrap), nv4x);
    std::cout << indent(depth) << (nv4x ? "NV4x PLLs" : "single-stage PLLs") << ", crystal ";
    if (crystal == 0) {
        std::cout << "none (strap bit 22 clear)\n";
        return;
    }
    std::cout << crystal << " kHz\n";
    auto result = [](std::optional<std::int32_t> khz) {
        return khz ? mhz(*khz / 1000.0) : std::string("stopped (a divider M is 0)");
    };
    if (nv4x) {
        auto line = [&](const char* label, std::uint32_t control, std::uint32_t coefficients) {
            unsigned p = (control >> 16) & 3, m = coefficients & 0xFF,
                     n = (coefficients >> 8) & 0xFF, m2 = (coefficients >> 16) & 0xFF,
                     n2 = coefficients >> 24;
            std::cout << indent(depth) << label << crystal << " kHz x " << n << " x " << n2
                      << " / (" << m << " x " << m2 << ") >> " << p << " = "
                      << result(host::nvidiaNV4xKHz(control, coefficients, crystal)) << "\n";
        };
        line("core:   ", hw.read(host::kNVCoreControl), hw.read(host::kNVCoreCoefficients));
        line("memory: ", hw.read(host::kNVMemControl), hw.read(host::kNVMemCoefficients));
    } else {
        auto line = [&](const char* label, std::uint32_t word) {
            unsigned m = word & 0xFF, n = (word >> 8) & 0xFF, p = (word >> 16) & 0xF;
            std::cout << indent(depth) << label << crystal << " kHz x " << n << " / " << m << " >> "
                      << p << " = " << result(host::nvidiaPreNV4xKHz(word, crystal)) << "\n";
        };
        line("core:   ", hw.read(host::kNVCorePLL));
        line("memory: ", hw.read(host::kNVMemPLL));
    }
}

void showDriverState(const host::DriverState& state, int depth) {
    std::string text;
    auto add = [&](const std::string& part) { text += (text.empty() ? "" : "; ") + part; };
    if (state.busyMilliseconds) {
        add(state.stuck()
                ? "stuck (busy " + std::to_string(*state.busyMilliseconds) + " ms)"
                : "busy " + std::to_string(*state.busyMilliseconds) + " ms after each write");
    }
    if (state.refuseAfter)
        add("refuses after " + std::to_string(*state.refuseAfter) + " accepted commands (" +
            std::to_string(state.acceptedCommands) + " so far)");
    if (state.refuseCommands) {
        std::string codes;
        for (std::int64_t c : *state.refuseCommands)
            codes += (codes.empty() ? "" : ", ") + std::to_string(c);
        add("always refuses " + (codes.empty() ? std::string("nothing") : codes));
    }
    std::int64_t left = state.busyUntil - host::wallClockMilliseconds();
    if (left > 0 && !state.stuck()) add("busy for another " + std::to_string(left) + " ms");
    std::cout << indent(depth) << "faults: " << (text.empty() ? "none" : text) << "\n";
}

void showEntry(const host::Machine& machine, const std::string& path,
               const host::RegistryEntry& entry, int depth) {
    std::cout << indent(depth) << entry.name;
    if (entry.className) std::cout << "  <" << *entry.className << ">";
    std::cout << "\n";
    for (const auto& [key, value] : entry.properties.items())
        std::cout << indent(depth + 1) << "\"" << key << "\" = " << propertyText(value) << "\n";
    if (entry.hardware) {
        const host::Hardware& hw = *entry.hardware;
        std::optional<std::string> cardPath = host::parentPath(path);
        const host::RegistryEntry* card = cardPath ? machine.find(*cardPath) : nullptr;
        std::cout << indent(depth + 1) << host::hardwareKindName(hw.kind) << " card registers:\n";
        for (const auto& [key, value] : hw.registers) {
            std::cout << indent(depth + 2) << key
                      << std::string(key.size() < 10 ? 10 - key.size() : 1, ' ') << hex32(value);
            auto powerOn = hw.powerOn.find(key);
            std::uint32_t atPowerOn = powerOn == hw.powerOn.end() ? 0 : powerOn->second;
            if (atPowerOn != value) std::cout << "  (power-on " << hex32(atPowerOn) << ")";
            std::cout << "\n";
        }
        for (const auto& [key, value] : hw.powerOn)
            if (!hw.registers.count(key))
                std::cout << indent(depth + 2) << key
                          << std::string(key.size() < 10 ? 10 - key.size() : 1, ' ') << hex32(0)
                          << "  (power-on " << hex32(value) << ")\n";
        std::cout << indent(depth + 1) << "clocks:\n";
        if (hw.kind == host::HardwareKind::ATI)
            showATIClocks(hw, card, depth + 2);
        else
            showNVIDIAClocks(hw, card, depth + 2);
        showDriverState(entry.driver, depth + 1);
    }
    for (const host::RegistryEntry& child : entry.children)
        showEntry(machine, path + "/" + child.name, child, depth + 1);
}

}  // namespace

int showMachine() {
    std::string error;
    std::shared_ptr<const host::Machine> machine = host::currentMachine(&error);
    if (!machine) {
        std::cerr << "simmac: " << error << "\n";
        return 1;
    }
    std::cout << "Simulated Mac at " << host::simmacRoot().string() << "\n";
    for (const host::RegistryEntry& entry : machine->entries)
        showEntry(*machine, entry.name, entry, 0);
    return 0;
}

}  // namespace simmac
