// The clocks of a simulated card, computed once for `simmac show` and for
// the limits the clock driver enforces.
#include "host/CardClocks.h"

#include "host/SimulatedHardware.h"

namespace host {

namespace {

// A number property as the Mac stores it: up to 4 bytes of data, little
// endian.
std::optional<std::uint32_t> u32Property(const RegistryEntry* entry, const char* key) {
    if (!entry) return std::nullopt;
    const cf::Value* value = entry->properties.get(key);
    if (!value || !value->data() || value->data()->empty()) return std::nullopt;
    const cf::Data& d = *value->data();
    std::uint32_t result = 0;
    for (std::size_t i = 0; i < d.size() && i < 4; ++i)
        result |= static_cast<std::uint32_t>(d[i]) << (8 * i);
    return result;
}

bool modelHasX1(const RegistryEntry* card) {
    if (!card) return false;
    const cf::Value* model = card->properties.get("model");
    if (!model || !model->data()) return false;
    std::string text(model->data()->begin(), model->data()->end());
    return text.substr(0, text.find('\0')).find("X1") != std::string::npos;
}

std::optional<double> megahertz(std::optional<std::int32_t> khz) {
    if (!khz) return std::nullopt;
    return *khz / 1000.0;
}

CardClocks atiClocks(const Hardware& hardware, const RegistryEntry* card) {
    const double reference = atiReferenceMHz(card);
    const ATIDividers d = atiDividers(hardware.read(kPLLRegisterKey));
    if (d.refDiv == 0) return {};
    return {reference / d.refDiv * d.vpuFBDiv, reference / d.refDiv * d.memFBDiv};
}

CardClocks nvidiaClocks(const Hardware& hardware, const RegistryEntry* card) {
    const bool nv4x = usesNV4xPLLs(hardware, card);
    const std::int32_t crystal = nvidiaCrystalKHz(hardware.read(kNVStrap), nv4x);
    if (crystal == 0) return {};
    if (nv4x)
        return {megahertz(nvidiaNV4xKHz(hardware.read(kNVCoreControl),
                                        hardware.read(kNVCoreCoefficients), crystal)),
                megahertz(nvidiaNV4xKHz(hardware.read(kNVMemControl),
                                        hardware.read(kNVMemCoefficients), crystal))};
    return {megahertz(nvidiaPreNV4xKHz(hardware.read(kNVCorePLL), crystal)),
            megahertz(nvidiaPreNV4xKHz(hardware.read(kNVMemPLL), crystal))};
}

}  // namespace

double atiReferenceMHz(const RegistryEntry* card) {
    double reference = u32Property(card, "ATY,RefCLK").value_or(0) / 1000.0;
    if (reference == 0) reference = 27.0;
    if (modelHasX1(card)) reference *= 10;
    return reference;
}

bool usesNV4xPLLs(const Hardware& hardware, const RegistryEntry* card) {
    if (std::optional<std::uint32_t> device = u32Property(card, "device-id"))
        return isNV4xDevice(static_cast<std::uint16_t>(*device & 0xFFFF));
    return hardware.registers.count(registerKey(kNVCoreCoefficients)) > 0;
}

CardClocks cardClocks(const Hardware& hardware, const RegistryEntry* card) {
    return hardware.kind == HardwareKind::ATI ? atiClocks(hardware, card)
                                              : nvidiaClocks(hardware, card);
}

CardClocks cardClocks(const Machine& machine, const std::string& driverPath) {
    const RegistryEntry* driver = machine.find(driverPath);
    if (!driver || !driver->hardware) return {};
    const std::optional<std::string> cardPath = parentPath(driverPath);
    return cardClocks(*driver->hardware, cardPath ? machine.find(*cardPath) : nullptr);
}

bool exceedsLimits(const CardClocks& clocks, const ClockLimits& limits) {
    auto above = [](const std::optional<double>& clock, const std::optional<double>& limit) {
        return clock && limit && *clock > *limit;
    };
    return above(clocks.vpu, limits.vpu) || above(clocks.memory, limits.memory);
}

}  // namespace host
