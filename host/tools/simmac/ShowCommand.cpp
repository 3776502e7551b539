// simmac show: whether the machine hangs or sleeps, the registry tree with
// every property, and for each clock driver the registers of its card, the
// clocks its PLLs produce and the card's limits.
#include <cstdio>
#include <iostream>

#include "SimmacCommands.h"
#include "host/CardClocks.h"
#include "host/SimMac.h"
#include "host/SimulatedHardware.h"

namespace simmac {

namespace {

std::string indent(int depth) { return std::string(static_cast<std::size_t>(depth) * 4, ' '); }

std::string clockText(const std::optional<double>& clock, const char* stopped) {
    return clock ? mhz(*clock) : std::string(stopped);
}

void showATIClocks(const host::Hardware& hw, const host::RegistryEntry* card, int depth) {
    const double refClock = host::atiReferenceMHz(card);
    const host::CardClocks clocks = host::cardClocks(hw, card);
    host::ATIDividers d = host::atiDividers(hw.read(host::kPLLRegisterKey));
    auto line = [&](const char* label, std::uint8_t feedback, const std::optional<double>& clock) {
        std::cout << indent(depth) << label << mhz(refClock) << " / " << int(d.refDiv) << " x "
                  << int(feedback) << " = " << clockText(clock, "stopped (reference divider 0)")
                  << "\n";
    };
    line("core:   ", d.vpuFBDiv, clocks.vpu);
    line("memory: ", d.memFBDiv, clocks.memory);
}

void showNVIDIAClocks(const host::Hardware& hw, const host::RegistryEntry* card, int depth) {
    bool nv4x = host::usesNV4xPLLs(hw, card);
    std::int32_t crystal = host::nvidiaCrystalKHz(hw.read(host::kNVStrap), nv4x);
    std::cout << indent(depth) << (nv4x ? "NV4x PLLs" : "single-stage PLLs") << ", crystal ";
    if (crystal == 0) {
        std::cout << "none (strap bit 22 clear)\n";
        return;
    }
    std::cout << crystal << " kHz\n";
    const host::CardClocks clocks = host::cardClocks(hw, card);
    constexpr const char* kStopped = "stopped (a divider M is 0)";
    if (nv4x) {
        auto line = [&](const char* label, std::uint32_t control, std::uint32_t coefficients,
                        const std::optional<double>& clock) {
            unsigned p = (control >> 16) & 3, m = coefficients & 0xFF,
                     n = (coefficients >> 8) & 0xFF, m2 = (coefficients >> 16) & 0xFF,
                     n2 = coefficients >> 24;
            std::cout << indent(depth) << label << crystal << " kHz x " << n << " x " << n2
                      << " / (" << m << " x " << m2 << ") >> " << p << " = "
                      << clockText(clock, kStopped) << "\n";
        };
        line("core:   ", hw.read(host::kNVCoreControl), hw.read(host::kNVCoreCoefficients),
             clocks.vpu);
        line("memory: ", hw.read(host::kNVMemControl), hw.read(host::kNVMemCoefficients),
             clocks.memory);
    } else {
        auto line = [&](const char* label, std::uint32_t word, const std::optional<double>& clock) {
            unsigned m = word & 0xFF, n = (word >> 8) & 0xFF, p = (word >> 16) & 0xF;
            std::cout << indent(depth) << label << crystal << " kHz x " << n << " / " << m << " >> "
                      << p << " = " << clockText(clock, kStopped) << "\n";
        };
        line("core:   ", hw.read(host::kNVCorePLL), clocks.vpu);
        line("memory: ", hw.read(host::kNVMemPLL), clocks.memory);
    }
}

std::string limitsText(const host::ClockLimits& limits) {
    std::string text;
    if (limits.vpu) text = "core " + mhz(*limits.vpu);
    if (limits.memory)
        text += (text.empty() ? "" : ", ") + std::string("memory ") + mhz(*limits.memory);
    return text;
}

// A clock of the hang and the limit it is held against.
std::string hungClockText(const char* name, const std::optional<double>& clock,
                          const std::optional<double>& limit) {
    std::string text = std::string(name) + " " + clockText(clock, "stopped");
    if (limit)
        text += (clock && *clock > *limit ? " (above its limit " : " (limit ") + mhz(*limit) + ")";
    return text;
}

// Whether the machine answers, and if not why and until when.
void showMachineState(const host::Machine& machine) {
    if (const std::optional<host::MachineHang>& hang = machine.hung) {
        const host::RegistryEntry* driver = machine.find(hang->driver);
        const host::ClockLimits limits =
            driver && driver->hardware ? driver->hardware->limits : host::ClockLimits{};
        std::cout << "State: hung by command " << hang->seq << " to " << hang->driver
                  << ": it left the card at " << hungClockText("core", hang->vpu, limits.vpu)
                  << ", " << hungClockText("memory", hang->memory, limits.memory)
                  << "; every command times out until simmac reboot\n";
    }
    if (machine.asleep) std::cout << "State: asleep; every command times out until simmac wake\n";
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
        if (!hw.limits.empty())
            std::cout << indent(depth + 1) << "limits: " << limitsText(hw.limits) << "\n";
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
    showMachineState(*machine);
    for (const host::RegistryEntry& entry : machine->entries)
        showEntry(*machine, entry.name, entry, 0);
    return 0;
}

}  // namespace simmac
