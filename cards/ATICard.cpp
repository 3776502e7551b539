#include "ATICard.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "ATIModelTable.h"
#include "SavedSettings.h"

namespace {

// Rounds to the nearest integer, an exact half to the even neighbour, in the
// default rounding mode. Not clamped to 8 bits: callers see 0 and values
// above 255. A negative or undefined quotient gives 0 (a divider that is
// never sent) and one beyond 16 bits stays at 65535 rather than wrapping to
// a small divider.
std::uint16_t dividerFromQuotient(float quotient) {
    float rounded = std::nearbyint(quotient);
    if (!(rounded > 0.0f)) {
        return 0;
    }
    if (rounded >= 65535.0f) {
        return 65535;
    }
    return static_cast<std::uint16_t>(rounded);
}

// The feedback divider for frequency f at step s with a clock's factor:
// (f / s) x 0.5 for factor 2, (f + f) / s for factor 0.5, else f / s, in
// single precision as written, rounded as above.
std::uint16_t dividerForFrequency(float frequency, float clockStep, float factor) {
    if (factor == 2.0f) {
        return dividerFromQuotient((frequency / clockStep) * 0.5f);
    }
    if (factor == 0.5f) {
        return dividerFromQuotient((frequency + frequency) / clockStep);
    }
    return dividerFromQuotient(frequency / clockStep);
}

bool romEquals(const std::optional<std::string>& rom, const char* text) {
    return rom && cString(*rom) == text;
}

}  // namespace

float ATICard::vpuFactor() const {
    switch (deviceID_) {
    case 0x4144:
    case 0x4E44:
    case 0x5046:
    case 0x5452:
    case 0x3E50: return 2.0f;
    case 0x4E50: return romEquals(rom_, "113-xxxxx-169") ? 2.0f : 1.0f;
    case 0x5C63: return 0.5f;
    case 0x4C57: return (name_ && cString(*name_) == "ATY,CrownParent") ? 1.0f : 0.5f;
    default: return 1.0f;
    }
}

float ATICard::memFactor() const {
    if (deviceID_ == 0x5052 || deviceID_ == 0x5046 || deviceID_ == 0x5452) {
        return 2.0f;
    }
    if (atiROMPartNumber(rom_) == "A58504") {
        return 0.5f;
    }
    if (deviceID_ == 0x4E50 && !romEquals(rom_, "113-xxxxx-169")) {
        return 0.5f;
    }
    if (deviceID_ == 0x4E54 || deviceID_ == 0x4E56 || deviceID_ == 0x5C63 || deviceID_ == 0x4C57) {
        return 0.5f;
    }
    if (deviceID_ == 0x5962 && !romEquals(rom_, "113-xxxxx-134")) {
        return 0.5f;
    }
    if (deviceID_ == 0x5961 && !romEquals(rom_, "113-A27502-124")) {
        return 0.5f;
    }
    return 1.0f;
}

void ATICard::calculateFrequencies() {
    vpuFrequency_ = static_cast<float>(vpuFBDiv_) * clockStep_ * vpuFactor();
    memFrequency_ = static_cast<float>(memFBDiv_) * clockStep_ * memFactor();
}

std::uint16_t ATICard::adjustVPUFBDivForFrequency(float frequency, float clockStep) const {
    return dividerForFrequency(frequency, clockStep, vpuFactor());
}

std::uint16_t ATICard::adjustMemFBDivForFrequency(float frequency, float clockStep) const {
    return dividerForFrequency(frequency, clockStep, memFactor());
}

void ATICard::fineTuneFBDivWithNewFBDiv(std::uint16_t& newFBDiv, std::uint16_t& newMemFBDiv,
                                        float newVPUFreq, float newMemFreq) {
    if (newFBDiv > 255 || newMemFBDiv > 255) {
        // A coarser step brings a high target back within 8 bits. A zero
        // reference divider is never sent, so going below 1 is pointless.
        if (refDiv_ > 0) {
            refDiv_ = static_cast<std::uint8_t>(refDiv_ - 1);
        }
    } else {
        // Creep back toward the stock (finer) step only when neither clock
        // rises and both targets still fit at the finer step.
        if (refDiv_ >= stockRefDiv_ || newFBDiv > vpuFBDiv_ || newMemFBDiv > memFBDiv_) {
            return;
        }
        const float finerStep = refClock_ / static_cast<float>(refDiv_ + 1);
        if (adjustVPUFBDivForFrequency(newVPUFreq, finerStep) > 255 ||
            adjustMemFBDivForFrequency(newMemFreq, finerStep) > 255) {
            return;
        }
        refDiv_ = static_cast<std::uint8_t>(refDiv_ + 1);
    }
    clockStep_ = refClock_ / static_cast<float>(refDiv_);
    newFBDiv = adjustVPUFBDivForFrequency(newVPUFreq, clockStep_);
    newMemFBDiv = adjustMemFBDivForFrequency(newMemFreq, clockStep_);
}

bool ATICard::sendPLLWord(std::uint8_t refDiv, std::uint8_t memFBDiv, std::uint8_t vpuFBDiv) {
    const std::uint32_t word = pllWord(refDiv, memFBDiv, vpuFBDiv);
    if (!writePropertiesWithCommand(WriteATIPLL, word)) {
        return false;
    }
    runningWord_ = word;
    return true;
}

void ATICard::returnToRunningWord() {
    refDiv_ = static_cast<std::uint8_t>(runningWord_ & 0xFF);
    memFBDiv_ = static_cast<std::uint8_t>((runningWord_ >> 8) & 0xFF);
    vpuFBDiv_ = static_cast<std::uint8_t>((runningWord_ >> 16) & 0xFF);
    clockStep_ = refClock_ / static_cast<float>(refDiv_);
    calculateFrequencies();
}

void ATICard::endFailedChange(bool commandFailed) {
    // Nothing was sent: the card runs the word it ran.
    if (!commandFailed) {
        returnToRunningWord();
        changeEnded(false, true);
        return;
    }
    // Part of a gradual change may have gone through, and another program
    // may have programmed the card meanwhile: the word is read back.
    const std::optional<std::uint32_t> word = readWithCommand(ReadATIPLL, 0);
    const bool usable = word && (*word & 0xFF) != 0;
    if (usable) runningWord_ = *word & 0xFFFFFF;
    returnToRunningWord();
    changeEnded(false, usable);
}

bool ATICard::savePLLWithVPUFrequency(float vpuFrequency, float memFrequency) {
    std::uint16_t newFBDiv = adjustVPUFBDivForFrequency(vpuFrequency, clockStep_);
    std::uint16_t newMemFBDiv = adjustMemFBDivForFrequency(memFrequency, clockStep_);
    fineTuneFBDivWithNewFBDiv(newFBDiv, newMemFBDiv, vpuFrequency, memFrequency);
    // Only dividers of 1..255 fit the PLL divider word.
    if (refDiv_ == 0 || newFBDiv == 0 || newMemFBDiv == 0 || newFBDiv > 255 || newMemFBDiv > 255) {
        endFailedChange(false);
        return false;
    }
    if (!sendPLLWord(refDiv_, static_cast<std::uint8_t>(newMemFBDiv),
                     static_cast<std::uint8_t>(newFBDiv))) {
        endFailedChange(true);
        return false;
    }
    vpuFBDiv_ = static_cast<std::uint8_t>(newFBDiv);
    memFBDiv_ = static_cast<std::uint8_t>(newMemFBDiv);
    calculateFrequencies();
    changeEnded(true, true);
    return true;
}

bool ATICard::setFrequencyGraduallyWithVPUFBDiv(std::uint16_t newFBDiv, std::uint16_t newMemFBDiv,
                                                float newVPUFreq, float newMemFreq) {
    fineTuneFBDivWithNewFBDiv(newFBDiv, newMemFBDiv, newVPUFreq, newMemFreq);
    const int vpuDirection = vpuFBDiv_ < newFBDiv ? 1 : -1;
    const int memDirection = memFBDiv_ < newMemFBDiv ? 1 : -1;
    bool commandFailed = false;
    for (;;) {
        if (vpuFBDiv_ == newFBDiv && memFBDiv_ == newMemFBDiv) {
            // A reference divider chosen without a divider move (by fine-tuning
            // or a return to stock) must still reach the card.
            if (pllWord(refDiv_, memFBDiv_, vpuFBDiv_) != runningWord_) {
                if (refDiv_ == 0) break;
                if (!sendPLLWord(refDiv_, memFBDiv_, vpuFBDiv_)) {
                    commandFailed = true;
                    break;
                }
            }
            calculateFrequencies();
            changeEnded(true, true);
            return true;
        }
        // The 8-bit dividers wrap: past 255 comes 0, which stops the change.
        if (vpuFBDiv_ != newFBDiv) {
            vpuFBDiv_ = static_cast<std::uint8_t>(vpuFBDiv_ + vpuDirection);
        }
        if (memFBDiv_ != newMemFBDiv) {
            memFBDiv_ = static_cast<std::uint8_t>(memFBDiv_ + memDirection);
        }
        if (refDiv_ == 0 || memFBDiv_ == 0 || vpuFBDiv_ == 0) {
            break;
        }
        if (!sendPLLWord(refDiv_, memFBDiv_, vpuFBDiv_)) {
            commandFailed = true;
            break;
        }
    }
    endFailedChange(commandFailed);
    return false;
}

void ATICard::restoreStoredPLLWithVPU(float vpu, float memory) {
    setFrequencyGraduallyWithVPUFBDiv(adjustVPUFBDivForFrequency(vpu, clockStep_),
                                      adjustMemFBDivForFrequency(memory, clockStep_), vpu, memory);
}

void ATICard::setStockSettings() {
    // A measurement that did not go through leaves the stock clocks unknown:
    // the clocks the card runs are not taken for them.
    if (stockUnmeasured_) {
        return;
    }
    if (realStockVPUFreq_ == 0) {
        realStockVPUFreq_ = vpuFrequency_;
    }
    if (realStockMemFreq_ == 0) {
        realStockMemFreq_ = memFrequency_;
    }
}

void ATICard::getStockSettingsFromPrefsDictionary(const cf::Dictionary& entry) {
    if (realStockVPUFreq_ == 0) {
        realStockVPUFreq_ = floatFromEntry(entry, kStockVPUKey);
    }
    if (realStockMemFreq_ == 0) {
        realStockMemFreq_ = floatFromEntry(entry, kStockMemoryKey);
    }
}

void ATICard::saveDefaultPLL() {
    refDiv_ = stockRefDiv_;
    clockStep_ = refClock_ / static_cast<float>(refDiv_);
    setFrequencyGraduallyWithVPUFBDiv(adjustVPUFBDivForFrequency(realStockVPUFreq_, clockStep_),
                                      adjustMemFBDivForFrequency(realStockMemFreq_, clockStep_),
                                      realStockVPUFreq_, realStockMemFreq_);
    calculateFrequencies();
}

void ATICard::getRealStockFrequencies() {
    const float vpuFrequency = vpuFrequency_;
    const float memFrequency = memFrequency_;
    // Only clocks the card reached are its stock clocks.
    if (savePLLWithVPUFrequency(romVPUFrequency_, romMemFrequency_)) {
        realStockVPUFreq_ = vpuFrequency_;
        realStockMemFreq_ = memFrequency_;
    } else {
        stockUnmeasured_ = true;
    }
    savePLLWithVPUFrequency(vpuFrequency, memFrequency);
}

float ATICard::reachableAbove(float) const {
    // Half a divider unit of the coarsest step fine-tuning may choose.
    return clockStep_ * std::max(vpuFactor(), memFactor());
}

void ATICard::fillModel() {
    rom_ = nsStringFromDataPropertyWithName("ATY,Rom#");
    if (rom_) {
        rom_ = cString(*rom_);
    }
    if (std::optional<std::string> tableModel = atiModelFromTable(rom_, deviceID_)) {
        model_ = std::move(tableModel);
        return;
    }
    Card::fillModel();
}

bool ATICard::initWithIOObject(io_service_t service) {
    driver_ = service;
    // A card whose divider word does not come is still identified (from the
    // registry, no commands) so that its saved entry can be kept, but nothing
    // more is asked of its driver and it is never programmed.
    std::optional<std::string> failedRead;
    if (const std::optional<std::uint32_t> word = readWithCommand(ReadATIPLL, 0)) {
        stockRefDiv_ = refDiv_ = static_cast<std::uint8_t>(*word & 0xFF);
        memFBDiv_ = static_cast<std::uint8_t>((*word >> 8) & 0xFF);
        vpuFBDiv_ = static_cast<std::uint8_t>((*word >> 16) & 0xFF);
        runningWord_ = *word & 0xFFFFFF;
    } else {
        failedRead = "ReadATIPLL";
    }

    if (IORegistryEntryGetParentEntry(driver_, kIOServicePlane, &card_) == kIOReturnSuccess) {
        deviceID_ = static_cast<std::uint16_t>(uInt32FromDataPropertyWithName("device-id", card_));
        fillModel();
        fillSlot();
        if (std::optional<std::string> nameProperty = nsStringFromDataPropertyWithName("name")) {
            name_ = cString(*nameProperty);
        }
        romVPUFrequency_ =
            static_cast<float>(uInt32FromDataPropertyWithName("ATY,SCLK", card_)) / 1000.0f;
        romMemFrequency_ =
            static_cast<float>(uInt32FromDataPropertyWithName("ATY,MCLK", card_)) / 1000.0f;
        refClock_ =
            static_cast<float>(uInt32FromDataPropertyWithName("ATY,RefCLK", card_)) / 1000.0f;
        const bool refClockRead = refClock_ != 0;
        if (!refClockRead) {
            refClock_ = 27.0f;
        }
        // X1 firmware states its clocks in tenths; the 27 MHz default is
        // already in MHz and is not scaled.
        std::optional<std::string> modelProperty = nsStringFromDataPropertyWithName("model");
        if (modelProperty && cString(*modelProperty).find("X1") != std::string::npos) {
            romVPUFrequency_ *= 10.0f;
            romMemFrequency_ *= 10.0f;
            if (refClockRead) {
                refClock_ *= 10.0f;
            }
        }
        if (!failedRead) {
            clockStep_ = refClock_ / static_cast<float>(refDiv_);
            failedRead = readMemoryFactsAtCreation();
            calculateFrequencies();
        }
    }
    if (failedRead) {
        giveUpUnread(*failedRead);
        return false;
    }
    if (romVPUFrequency_ != 0 && romMemFrequency_ != 0) {
        getRealStockFrequencies();
    }
    return model_ && slot_ && refClock_ != 0 && refDiv_ != 0 && vpuFBDiv_ != 0 && memFBDiv_ != 0;
}
