// The base of the per-card objects: the two registry handles, identity,
// memory facts, current and stock clocks, typed reads of registry
// properties and the commands to the clock driver.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "PaneBuild.h"
#include "host/CoreFoundation.h"
#include "host/IOKit.h"

// Commands of the clock driver.
enum DriverCommand : std::uint8_t {
    ReadATIPLL = 0,
    ReadATIRegister = 1,
    WriteATIPLL = 2,
    ReadNVIDIARegister = 11,
    WriteNVIDIARegister = 12,
};

inline constexpr const char* kTarnwickDriverName = "name_halvorn_oddny_TarnwickDriver";

class Card {
public:
    // A card holds its two registry handles for its whole life and gives
    // them back when it goes, also when its creation failed.
    virtual ~Card();
    Card() = default;
    Card(const Card&) = delete;
    Card& operator=(const Card&) = delete;

    // Reads a number property from `entry` (the first four bytes of a data
    // value in host byte order). Used before any card exists as well.
    static std::uint32_t uInt32FromDataPropertyWithName(const std::string& key,
                                                        io_registry_entry_t entry);
    // The same, or nothing when `entry` has no such property.
    static std::optional<std::uint32_t> uInt32PropertyIfPresent(const std::string& key,
                                                                io_registry_entry_t entry);
    // The bytes of a data property of `card` (all of them, a stored zero
    // byte included), or the text of a string property; nothing otherwise.
    std::optional<std::string> nsStringFromDataPropertyWithName(const std::string& key) const;

    // Asked in this process before each command that programs a card
    // (WriteATIPLL, WriteNVIDIARegister) is sent; a command it refuses is not
    // sent and fails. Without one every command is sent.
    static void setProgrammingGate(std::function<bool()> gate);

    bool writePropertiesWithCommand(std::uint8_t command, std::uint32_t argument);
    bool writePropertiesWithCommand(std::uint8_t command, std::uint32_t argument,
                                    std::uint32_t argument2);

    // The most a clock this card reaches may lie above the clock asked for
    // (its rounding to a divider, or the PLL search's tolerance).
    virtual float reachableAbove(float requested) const = 0;

    void fillSlot();
    virtual void fillModel();

    // Accessors.
    float vpuFrequency() const { return vpuFrequency_; }
    float memFrequency() const { return memFrequency_; }
    float realStockVPUFreq() const { return realStockVPUFreq_; }
    float realStockMemFreq() const { return realStockMemFreq_; }
    const std::optional<std::string>& slot() const { return slot_; }
    const std::optional<std::string>& model() const { return model_; }
    PANE_ONLY(float clockStep() const;)
    PANE_ONLY(int memSize() const;)
    PANE_ONLY(int busWidth() const;)
    PANE_ONLY(bool memType() const;)
    PANE_ONLY(void setVPUFrequency(float f);)
    PANE_ONLY(void setMemFrequency(float f);)
    PANE_ONLY(void setRealStockVPUFreq(float f);)
    PANE_ONLY(void setRealStockMemFreq(float f);)

    // What every concrete card provides, in this order.
    virtual void calculateFrequencies() = 0;
    // The base version changes nothing and succeeds.
    virtual bool savePLLWithVPUFrequency(float vpuFrequency, float memFrequency);
    virtual void restoreStoredPLLWithVPU(float vpu, float memory) = 0;
    virtual void setStockSettings() = 0;
    virtual void getStockSettingsFromPrefsDictionary(const cf::Dictionary& entry) = 0;
    virtual void saveDefaultPLL() = 0;
    // Creation: false when the card cannot be used; the caller then drops
    // the object.
    virtual bool initWithIOObject(io_service_t service) = 0;
    // True when creation gave up because a read of the card's driver failed:
    // the card is present (slot and model are read from the registry all the
    // same) but was never programmed, and its saved entry must be kept.
    bool driverUnread() const { return driverUnread_; }
    PANE_ONLY(virtual cf::Dictionary saveCardInfo() = 0;)

    // What the last change of the clocks (a stepper change, a restore, a
    // return to stock, a stock measurement) came to: whether it reached its
    // clocks, and whether the clocks the card reports are the ones it runs.
    // After a change that did not go through, the card reads its clocks back
    // from the hardware; when they do not come, they are unknown until a
    // later change reads them.
    bool lastChangeSucceeded() const { return lastChangeSucceeded_; }
    bool clocksKnown() const { return clocksKnown_; }
    // The saved clocks could not be put back on the card (a restore failed),
    // and no change by the user has reached the card since.
    bool savedClocksUnrestored() const { return savedClocksUnrestored_; }
    void setSavedClocksUnrestored() { savedClocksUnrestored_ = true; }
    // Whether a writer keeps the card's saved entry as it is instead of
    // writing the clocks the card reports: they are not the user's choice
    // (the saved ones could not be put back) or not known.
    bool keepsSavedEntry() const { return savedClocksUnrestored_ || !clocksKnown_; }
    // Adds to a card entry that the startup tool rewrites the card's own
    // stock register words, when the card has any that are known; the base
    // adds nothing.
    virtual void addStockRegisterKeys(cf::Dictionary& entry) const;

protected:
    // A read command and its answer, the driver's "RegValue": nothing when
    // the command failed or published no answer, so that an answer left from
    // an earlier command is never taken for this one.
    std::optional<std::uint32_t> readWithCommand(std::uint8_t command, std::uint32_t argument);
    // Creation gives up on the card because the read `what` failed: one log
    // line naming the driver and the read.
    void giveUpUnread(const std::string& what);
    // Records how a change ended (see lastChangeSucceeded); one that reached
    // its clocks is the user's new choice.
    void changeEnded(bool reached, bool clocksKnown);

    io_service_t driver_ = 0;
    io_registry_entry_t card_ = 0;
    std::optional<std::string> slot_;
    std::optional<std::string> model_;
    std::optional<std::string> rom_;
    std::optional<std::string> name_;
    std::uint16_t deviceID_ = 0;
    std::uint16_t memSize_ = 0;
    std::uint16_t busWidth_ = 0;
    std::int8_t memType_ = 0;
    float vpuFrequency_ = 0;
    float memFrequency_ = 0;
    float romVPUFrequency_ = 0;
    float romMemFrequency_ = 0;
    float clockStep_ = 0;
    float realStockVPUFreq_ = 0;
    float realStockMemFreq_ = 0;
    bool driverUnread_ = false;
    bool lastChangeSucceeded_ = true;
    bool clocksKnown_ = true;
    bool savedClocksUnrestored_ = false;

private:
    // Waits for the driver to be quiet, then sets the command dictionary on
    // it; failures are logged. Not const: it changes the card.
    // NOLINTNEXTLINE(readability-make-member-function-const)
    bool sendCommand(const cf::Dictionary& command);
};

// A string cut at its first zero byte: how slot, model and ROM texts are
// compared and stored.
std::string cString(const std::string& s);

// A register read as log lines name it: "ReadATIRegister 0xF8".
std::string registerRead(const char* command, std::uint32_t offset);
