// The card of ATI devices (vendor 0x1002): identification from the registry,
// clocks from the PLL dividers, and programming through WriteATIPLL.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "Card.h"

class ATICard : public Card {
public:
    // Card's operations, in Card's order.
    void calculateFrequencies() override;
    bool savePLLWithVPUFrequency(float vpuFrequency, float memFrequency) override;
    void restoreStoredPLLWithVPU(float vpu, float memory) override;
    void setStockSettings() override;
    void getStockSettingsFromPrefsDictionary(const cf::Dictionary& entry) override;
    void saveDefaultPLL() override;
    bool initWithIOObject(io_service_t service) override;
    PANE_ONLY(cf::Dictionary saveCardInfo() override;)
    float reachableAbove(float requested) const override;

    void fillModel() override;
    // Memory size, bus width and type from the card's registers; nothing,
    // or the register read that failed (the facts are then not to be used).
    PANE_ONLY(std::optional<std::string> getCardInfo();)

    // Programs the firmware's nominal clocks and back, keeping the clocks
    // reached there as the stock clocks.
    void getRealStockFrequencies();
    // The feedback divider for a frequency at a clock step, rounded to the
    // nearest integer (halves to even); not clamped, so it may be 0 or above
    // 255 and the callers deal with both.
    std::uint16_t adjustVPUFBDivForFrequency(float frequency, float clockStep) const;
    std::uint16_t adjustMemFBDivForFrequency(float frequency, float clockStep) const;
    // Moves refDiv by at most one (down when a target does not fit 8 bits,
    // back up toward stockRefDiv when neither clock rises) and recomputes the
    // targets at the new step.
    void fineTuneFBDivWithNewFBDiv(std::uint16_t& newFBDiv, std::uint16_t& newMemFBDiv,
                                   float newVPUFreq, float newMemFreq);
    // Moves both feedback dividers one unit per command toward the targets;
    // true when both were reached.
    bool setFrequencyGraduallyWithVPUFBDiv(std::uint16_t newFBDiv, std::uint16_t newMemFBDiv,
                                           float newVPUFreq, float newMemFreq);

    // Readers of the PLL state.
    std::uint8_t stockRefDiv() const { return stockRefDiv_; }
    std::uint8_t refDiv() const { return refDiv_; }
    std::uint8_t vpuFBDiv() const { return vpuFBDiv_; }
    std::uint8_t memFBDiv() const { return memFBDiv_; }
    float refClock() const { return refClock_; }

    // The clock factors: frequency = feedback divider x clockStep x factor.
    float vpuFactor() const;
    float memFactor() const;

private:
    static std::uint32_t pllWord(std::uint8_t refDiv, std::uint8_t memFBDiv,
                                 std::uint8_t vpuFBDiv) {
        return refDiv + (std::uint32_t{memFBDiv} << 8) + (std::uint32_t{vpuFBDiv} << 16);
    }
    bool sendPLLWord(std::uint8_t refDiv, std::uint8_t memFBDiv, std::uint8_t vpuFBDiv);
    // The step of creation that differs between the builds: the pane's card
    // reads its memory facts, the startup tool's does not. The read that
    // failed, if any.
    std::optional<std::string> readMemoryFactsAtCreation();
    // Puts the divider fields and clockStep back to the word the card runs
    // at, after a change that ended without reaching its targets.
    void returnToRunningWord();
    // Ends a change that did not reach its targets: the card's word read back
    // when a command failed (unknown when it does not come), else the word
    // it ran.
    void endFailedChange(bool commandFailed);

    std::uint8_t stockRefDiv_ = 0;
    std::uint8_t refDiv_ = 0;
    std::uint8_t vpuFBDiv_ = 0;
    std::uint8_t memFBDiv_ = 0;
    float refClock_ = 0;
    // The PLL divider word the card runs at: the one read at creation, then
    // the last one the driver accepted.
    std::uint32_t runningWord_ = 0;
    // The firmware's clocks were not reached when the stock clocks were measured.
    bool stockUnmeasured_ = false;
};
