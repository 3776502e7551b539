// The pane's build of ATICard: the memory facts read at creation, and the
// card's entry of the saved settings.
#include <algorithm>
#include <iterator>

#include "ATICard.h"
#include "SavedSettings.h"

namespace {

constexpr std::uint16_t kRage128Devices[] = {0x5245, 0x5246, 0x524B, 0x524C, 0x5045,
                                             0x5046, 0x5052, 0x4C45, 0x4C46, 0x5452};
constexpr std::uint16_t kWideBusDevices[] = {
    0x4E44, 0x4144, 0x4E48, 0x4148, 0x4150, 0x4E50, 0x4152, 0x4E54, 0x4A48, 0x4A49, 0x4A4A,
    0x4A4B, 0x4A4C, 0x4A4D, 0x4A4E, 0x5B60, 0x5B62, 0x3E50, 0x4E56, 0x5B64, 0x3E54};

template <std::size_t N>
bool listed(const std::uint16_t (&devices)[N], std::uint16_t deviceID) {
    return std::find(std::begin(devices), std::end(devices), deviceID) != std::end(devices);
}

}  // namespace

std::optional<std::string> ATICard::readMemoryFactsAtCreation() { return getCardInfo(); }

std::optional<std::string> ATICard::getCardInfo() {
    // Each register is read only when the one before it answered.
    const std::optional<std::uint32_t> size = readWithCommand(ReadATIRegister, 0xF8);
    if (!size) {
        return registerRead("ReadATIRegister", 0xF8);
    }
    const std::optional<std::uint32_t> control = readWithCommand(ReadATIRegister, 0x140);
    if (!control) {
        return registerRead("ReadATIRegister", 0x140);
    }
    const std::optional<std::uint32_t> sdramMode = readWithCommand(ReadATIRegister, 0x158);
    if (!sdramMode) {
        return registerRead("ReadATIRegister", 0x158);
    }

    memSize_ = static_cast<std::uint16_t>(*size >> 20);
    busWidth_ = 64;
    bool ddr = true;
    if (listed(kRage128Devices, deviceID_)) {
        if ((*control & 3) == 0 && deviceID_ == 0x5452) {
            busWidth_ = 128;
        }
        ddr = (*control & 3) == 2;
    } else if (deviceID_ == 0x5159) {
        busWidth_ = (*control & 8) ? 32 : 64;
    } else if (listed(kWideBusDevices, deviceID_)) {
        static constexpr std::uint16_t widths[] = {64, 128, 256, 128};
        busWidth_ = widths[*control & 3];
    } else {
        busWidth_ = (*control & 1) ? 128 : 64;
    }
    if (*sdramMode & 0x40000000) {
        ddr = true;
    }
    memType_ = ddr ? 1 : 0;
    return std::nullopt;
}

cf::Dictionary ATICard::saveCardInfo() { return commonCardEntry(*this); }
