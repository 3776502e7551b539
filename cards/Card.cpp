#include "Card.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "host/Foundation.h"
#include "host/Log.h"

namespace {

// The clock driver gets a second to become quiet before each command.
constexpr mach_timespec_t waitTime = {1, 0};

// Any function of the card library will do: its address tells which bundle
// holds the card classes (the startup tool's or the pane's).
void cardLibraryAnchor() {}

std::function<bool()>& programmingGate() {
    static std::function<bool()> gate;
    return gate;
}

bool mayProgram(std::uint8_t command) {
    const bool programs = command == WriteATIPLL || command == WriteNVIDIARegister;
    return !programs || !programmingGate() || programmingGate()();
}

// The driver command's dictionary: "Command" (8-bit) and "Argument" (32-bit).
cf::Dictionary commandDictionary(std::uint8_t command, std::uint32_t argument) {
    cf::Dictionary dictionary;
    dictionary.set("Command", cf::CFNumberCreate(cf::kCFNumberCharType, command));
    dictionary.set("Argument",
                   cf::CFNumberCreate(cf::kCFNumberIntType, static_cast<std::int32_t>(argument)));
    return dictionary;
}

}  // namespace

Card::~Card() {
    if (card_ != 0) IOObjectRelease(card_);
    if (driver_ != 0) IOObjectRelease(driver_);
}

std::string cString(const std::string& s) { return s.substr(0, s.find('\0')); }

std::string registerRead(const char* command, std::uint32_t offset) {
    char text[64];
    std::snprintf(text, sizeof text, "%s 0x%X", command, static_cast<unsigned>(offset));
    return text;
}

std::uint32_t Card::uInt32FromDataPropertyWithName(const std::string& key,
                                                   io_registry_entry_t entry) {
    return uInt32PropertyIfPresent(key, entry).value_or(0);
}

std::optional<std::uint32_t> Card::uInt32PropertyIfPresent(const std::string& key,
                                                           io_registry_entry_t entry) {
    std::optional<cf::Value> property =
        IORegistryEntryCreateCFProperty(entry, key, kCFAllocatorDefault, 0);
    if (!property) {
        return std::nullopt;
    }
    if (const cf::Data* data = property->data()) {
        // Short data reads as its bytes followed by zeros; never past its end.
        std::uint32_t value = 0;
        if (!data->empty()) {
            std::memcpy(&value, data->data(), std::min<std::size_t>(data->size(), sizeof value));
        }
        return value;
    }
    if (const cf::Number* number = property->number()) {
        return number->uint32Value();
    }
    return 0u;
}

std::optional<std::string> Card::nsStringFromDataPropertyWithName(const std::string& key) const {
    std::optional<cf::Value> property =
        IORegistryEntryCreateCFProperty(card_, key, kCFAllocatorDefault, 0);
    if (!property) {
        return std::nullopt;
    }
    if (const cf::Data* data = property->data()) {
        // All bytes, a stored terminating zero included.
        return std::string(data->begin(), data->end());
    }
    if (const std::string* text = property->string()) {
        return *text;
    }
    return std::nullopt;
}

void Card::setProgrammingGate(std::function<bool()> gate) { programmingGate() = std::move(gate); }

bool Card::writePropertiesWithCommand(std::uint8_t command, std::uint32_t argument) {
    if (!mayProgram(command)) return false;
    return sendCommand(commandDictionary(command, argument));
}

bool Card::writePropertiesWithCommand(std::uint8_t command, std::uint32_t argument,
                                      std::uint32_t argument2) {
    if (!mayProgram(command)) return false;
    cf::Dictionary dictionary = commandDictionary(command, argument);
    dictionary.set("Argument2",
                   cf::CFNumberCreate(cf::kCFNumberIntType, static_cast<std::int32_t>(argument2)));
    return sendCommand(dictionary);
}

// NOLINTNEXTLINE(readability-make-member-function-const): it changes the card's hardware
bool Card::sendCommand(const cf::Dictionary& command) {
    IOReturn result = IOServiceWaitQuiet(driver_, &waitTime);
    if (result == kIOReturnTimeout) {
        NSLog("Tarnwick: Timeout while waiting for I/O Service\n");
        return false;
    }
    if (result != kIOReturnSuccess) {
        NSLog("Tarnwick: error %x while waiting for I/O Service\n", static_cast<unsigned>(result));
        return false;
    }
    result = IORegistryEntrySetCFProperties(driver_, command);
    if (result != kIOReturnSuccess) {
        NSLog("Tarnwick: error %x writing to the I/O Registry\n", static_cast<unsigned>(result));
        return false;
    }
    return true;
}

std::optional<std::uint32_t> Card::readWithCommand(std::uint8_t command, std::uint32_t argument) {
    if (!writePropertiesWithCommand(command, argument)) {
        return std::nullopt;
    }
    return uInt32PropertyIfPresent("RegValue", driver_);
}

void Card::giveUpUnread(const std::string& what) {
    driverUnread_ = true;
    std::string path;
    if (IORegistryEntryGetPath(driver_, kIOServicePlane, &path) != kIOReturnSuccess) {
        path = "driver " + std::to_string(driver_);
    }
    NSLog("Tarnwick: card of %s not used: %s failed\n", path.c_str(), what.c_str());
}

void Card::changeEnded(bool reached, bool clocksKnown) {
    lastChangeSucceeded_ = reached;
    clocksKnown_ = clocksKnown;
    if (reached) savedClocksUnrestored_ = false;
}

void Card::fillSlot() {
    // Only the presence of an AGP property counts, not its value.
    if (IORegistryEntryCreateCFProperty(card_, "AGP_Master", kCFAllocatorDefault, 0) ||
        IORegistryEntryCreateCFProperty(card_, "IOAGPCommandValue", kCFAllocatorDefault, 0)) {
        slot_ = "AGP";
        return;
    }
    if (std::optional<std::string> slotName = nsStringFromDataPropertyWithName("AAPL,slot-name")) {
        // Kept in C form: a stored zero byte would not survive the saved settings.
        slot_ = cString(*slotName);
        return;
    }
    std::shared_ptr<NSBundle> bundle =
        NSBundle::bundleForAddress(reinterpret_cast<const void*>(&cardLibraryAnchor));
    slot_ = bundle ? bundle->localizedStringForKey("BUILT-IN_CARD", "Key not found")
                   : std::string("Key not found");
}

void Card::fillModel() {
    std::optional<std::string> modelProperty = nsStringFromDataPropertyWithName("model");
    model_ = modelProperty ? std::optional<std::string>(cString(*modelProperty)) : std::nullopt;
}

bool Card::savePLLWithVPUFrequency(float, float) { return true; }

void Card::addStockRegisterKeys(cf::Dictionary&) const {}
