#include "NVIDIACard.h"

#include "NVIDIAPLL.h"
#include "SavedSettings.h"
#include "host/Log.h"

namespace {

constexpr std::uint32_t kStrap27MHz = 0x400000;  // bit 22, NV4x
constexpr std::uint32_t kStrap14318kHz = 0x40;   // bit 6, earlier cards

}  // namespace

bool NVIDIACard::isNV4xDeviceID(std::uint16_t deviceID) {
    switch (deviceID) {
    case 0x0040:
    case 0x0041:
    case 0x0045:
    case 0x0092:
    case 0x009D:
    case 0x00F2:
    case 0x0141: return true;
    default: return false;
    }
}

std::uint32_t NVIDIACard::readRegister(std::uint32_t offset) {
    // The answer is read even after a refused command: it is then the
    // stale value, or 0 when the driver never published one.
    writePropertiesWithCommand(ReadNVIDIARegister, offset);
    return uInt32FromDataPropertyWithName("RegValue", driver_);
}

bool NVIDIACard::writeRegister(std::uint32_t offset, std::uint32_t value) {
    return writePropertiesWithCommand(WriteNVIDIARegister, offset, value);
}

bool NVIDIACard::initWithIOObject(io_service_t service) {
    driver_ = service;
    writePropertiesWithCommand(ReadNVIDIARegister, kStrapRegister);

    io_registry_entry_t parent = 0;
    if (IORegistryEntryGetParentEntry(driver_, kIOServicePlane, &parent) == kIOReturnSuccess) {
        card_ = parent;
        fillModel();
        fillSlot();
        name_ = nsStringFromDataPropertyWithName("name");
        deviceID_ = static_cast<std::uint16_t>(uInt32FromDataPropertyWithName("device-id", card_));
    }

    if (isNV4xDeviceID(deviceID_)) {
        isNV4x_ = true;
        if (readRegister(kStrapRegister) & kStrap27MHz) refClock_ = 27000;
    } else {
        // The strap value of the first read is still published.
        const std::uint32_t strap = uInt32FromDataPropertyWithName("RegValue", driver_);
        refClock_ = (strap & kStrap14318kHz) ? 14318 : 13500;
    }

    readFrequencies();
    calculateFrequencies();
    clockStep_ = 1.0f;

    return model_.has_value() && slot_.has_value() && refClock_ != 0 && gPLL_ != 0 && mPLL_ != 0;
}

void NVIDIACard::readFrequencies() {
    if (isNV4x_) {
        gPLL_ = readRegister(kCoreControl);
        gPLL2_ = readRegister(kCoreCoefficients);
        mPLL_ = readRegister(kMemoryControl);
        mPLL2_ = readRegister(kMemoryCoefficients);
    } else {
        gPLL_ = readRegister(kCorePLL);
        mPLL_ = readRegister(kMemoryPLL);
    }
}

void NVIDIACard::calculateFrequencies() {
    using namespace NVIDIAPLL;
    if (isNV4x_) {
        gP_ = controlP(gPLL_);
        mP_ = controlP(mPLL_);
        NSLog("GM %d - GM2 %d - GN %d - GN2 %d - gP %d\n", coefficientM(gPLL2_),
              coefficientM2(gPLL2_), coefficientN(gPLL2_), coefficientN2(gPLL2_), gP_);
        NSLog("MM %d - MM2 %d - MN %d - MN2 %d - mP %d\n", coefficientM(mPLL2_),
              coefficientM2(mPLL2_), coefficientN(mPLL2_), coefficientN2(mPLL2_), mP_);
        vpuFrequency_ = megahertz(twoStageFrequency(gPLL2_, gP_, refClock_));
        memFrequency_ = megahertz(twoStageFrequency(mPLL2_, mP_, refClock_));
    } else {
        gP_ = wordP(gPLL_);
        mP_ = wordP(mPLL_);
        vpuFrequency_ = megahertz(singleStageFrequency(gPLL_, refClock_));
        memFrequency_ = megahertz(singleStageFrequency(mPLL_, refClock_));
    }
}

std::uint32_t NVIDIACard::calculateBestPLLWithFrequency(float targetKHz, std::uint8_t p) const {
    return NVIDIAPLL::searchSingleStage(targetKHz, p, refClock_);
}

bool NVIDIACard::calculateBestPLLWithFrequency(float targetKHz, std::uint8_t p,
                                               std::uint32_t origPLL1, std::uint32_t& pll1,
                                               std::uint32_t& pll2) const {
    const auto words = NVIDIAPLL::searchTwoStage(targetKHz, p, origPLL1, refClock_);
    if (!words) return false;
    pll1 = words->pll1;
    pll2 = words->pll2;
    return true;
}

std::vector<NVIDIACard::RegisterPair> NVIDIACard::memoryRegisterPairs() const {
    // 0x0041 and 0x00F2 carry the memory PLL in the first pair only.
    std::vector<RegisterPair> pairs{{kMemoryControl, kMemoryCoefficients}};
    switch (deviceID_) {
    case 0x0141: pairs.push_back({0x4038, 0x403C}); break;
    case 0x0040:
    case 0x0045:
    case 0x0092:
    case 0x009D:
        pairs.push_back({0x4038, 0x403C});
        pairs.push_back({0x402C, 0x4030});
        pairs.push_back({0x4044, 0x4048});
        break;
    default: break;
    }
    return pairs;
}

bool NVIDIACard::programNV4xClock(Clock clock, float targetKHz, std::uint8_t p,
                                  std::uint32_t origPLL1, const std::vector<RegisterPair>& pairs) {
    using namespace NVIDIAPLL;
    std::uint32_t pll1 = 0;
    std::uint32_t pll2 = 0;
    // No candidate: no words exist to write, and the clock stays where it is.
    if (!calculateBestPLLWithFrequency(targetKHz, p, origPLL1, pll1, pll2)) return true;

    const float testFrequency = megahertz(twoStageFrequency(pll2, controlP(pll1), refClock_));
    if (clock == Clock::Core) {
        NSLog("tGM %d - tGM2 %d - tGN %d - tGN2 %d - tgP %d\n", coefficientM(pll2),
              coefficientM2(pll2), coefficientN(pll2), coefficientN2(pll2), controlP(pll1));
        NSLog("Test VPU Frequency %f\n", static_cast<double>(testFrequency));
    } else {
        NSLog("tMM %d - tMM2 %d - tMN %d - tMN2 %d - tmP %d\n", coefficientM(pll2),
              coefficientM2(pll2), coefficientN(pll2), coefficientN2(pll2), controlP(pll1));
        NSLog("Test Mem Frequency %f\n", static_cast<double>(testFrequency));
    }

    // N2 = 0 would stop the clock; such words are never sent.
    if (coefficientN2(pll2) == 0) return true;

    bool accepted = true;
    for (const RegisterPair& pair : pairs) {
        if (!writeRegister(pair.control, pll1) || !writeRegister(pair.coefficients, pll2)) {
            accepted = false;
        }
    }
    return accepted;
}

bool NVIDIACard::savePLLWithVPUFrequency(float vpuFrequency, float memFrequency) {
    bool failed = false;

    if (vpuFrequency != vpuFrequency_) {
        const float target = vpuFrequency * 1000.0f;
        if (isNV4x_) {
            if (!programNV4xClock(Clock::Core, target, gP_, gPLL_,
                                  {{kCoreControl, kCoreCoefficients}})) {
                failed = true;
            }
        } else {
            const std::uint32_t word = calculateBestPLLWithFrequency(target, gP_);
            if (word != 0 && !writeRegister(kCorePLL, word)) failed = true;
        }
    }

    if (memFrequency != memFrequency_) {
        const float target = memFrequency * 1000.0f;
        if (isNV4x_) {
            if (!programNV4xClock(Clock::Memory, target, mP_, mPLL_, memoryRegisterPairs())) {
                failed = true;
            }
        } else {
            const std::uint32_t word = calculateBestPLLWithFrequency(target, mP_);
            if (word != 0 && !writeRegister(kMemoryPLL, word)) failed = true;
        }
    }

    readFrequencies();
    calculateFrequencies();
    return !failed;
}

void NVIDIACard::restoreStoredPLLWithVPU(float vpu, float memory) {
    savePLLWithVPUFrequency(vpu, memory);
}

void NVIDIACard::setStockSettings() {
    if (realStockVPUFreq_ == 0.0f) realStockVPUFreq_ = vpuFrequency_;
    if (realStockMemFreq_ == 0.0f) realStockMemFreq_ = memFrequency_;
    if (stockGPLL_ == 0) stockGPLL_ = gPLL_;
    if (stockMPLL_ == 0) stockMPLL_ = mPLL_;
    if (stockGP_ == 0) stockGP_ = gP_;
    if (stockMP_ == 0) stockMP_ = mP_;
    if (isNV4x_) {
        if (stockGPLL2_ == 0) stockGPLL2_ = gPLL2_;
        if (stockMPLL2_ == 0) stockMPLL2_ = mPLL2_;
    }
}

void NVIDIACard::getStockSettingsFromPrefsDictionary(const cf::Dictionary& entry) {
    if (realStockVPUFreq_ == 0.0f) realStockVPUFreq_ = floatFromEntry(entry, kStockVPUKey);
    if (realStockMemFreq_ == 0.0f) realStockMemFreq_ = floatFromEntry(entry, kStockMemoryKey);
    if (stockGPLL_ == 0) stockGPLL_ = uint32FromEntry(entry, kStockGPLLKey);
    if (stockMPLL_ == 0) stockMPLL_ = uint32FromEntry(entry, kStockMPLLKey);
    if (stockGP_ == 0) stockGP_ = static_cast<std::uint8_t>(uint32FromEntry(entry, kStockGPKey));
    if (stockMP_ == 0) stockMP_ = static_cast<std::uint8_t>(uint32FromEntry(entry, kStockMPKey));
    if (isNV4x_) {
        if (stockGPLL2_ == 0) stockGPLL2_ = uint32FromEntry(entry, kStockGPLL2Key);
        if (stockMPLL2_ == 0) stockMPLL2_ = uint32FromEntry(entry, kStockMPLL2Key);
    }
}

void NVIDIACard::saveDefaultPLL() {
    // Results are ignored: each word is put back as far as the driver lets it.
    if (isNV4x_) {
        writeRegister(kCoreControl, stockGPLL_);
        writeRegister(kCoreCoefficients, stockGPLL2_);
        for (const RegisterPair& pair : memoryRegisterPairs()) {
            writeRegister(pair.control, stockMPLL_);
            writeRegister(pair.coefficients, stockMPLL2_);
        }
    } else {
        writeRegister(kCorePLL, stockGPLL_);
        writeRegister(kMemoryPLL, stockMPLL_);
    }
    readFrequencies();
    calculateFrequencies();
}

void NVIDIACard::appendStockRegisterKeys(cf::Dictionary& entry) const {
    // Words as 64-bit numbers holding the unsigned value, so that bit 31
    // survives a reader that takes numbers as signed.
    entry.set(kStockGPLLKey, cf::CFNumberCreate(cf::kCFNumberSInt64Type, stockGPLL_));
    entry.set(kStockMPLLKey, cf::CFNumberCreate(cf::kCFNumberSInt64Type, stockMPLL_));
    entry.set(kStockGPKey, cf::CFNumberCreate(cf::kCFNumberIntType, stockGP_));
    entry.set(kStockMPKey, cf::CFNumberCreate(cf::kCFNumberIntType, stockMP_));
    entry.set(kStockGPLL2Key, cf::CFNumberCreate(cf::kCFNumberSInt64Type, stockGPLL2_));
    entry.set(kStockMPLL2Key, cf::CFNumberCreate(cf::kCFNumberSInt64Type, stockMPLL2_));
}

void NVIDIACard::addStockRegisterKeys(cf::Dictionary& entry) const {
    // Without known stock words the keys would record nothing true; the
    // pane then takes them from the card.
    if (stockGPLL_ != 0 && stockMPLL_ != 0) appendStockRegisterKeys(entry);
}
