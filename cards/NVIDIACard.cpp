#include "NVIDIACard.h"

#include "NVIDIAPLL.h"
#include "SavedSettings.h"
#include "host/Log.h"

namespace {

constexpr std::uint32_t kStrap27MHz = 0x400000;  // bit 22, NV4x
constexpr std::uint32_t kStrap14318kHz = 0x40;   // bit 6, earlier cards

// A coefficient word's fields and a post divider, in one of the lines above.
void logCoefficients(const char* format, std::uint32_t coefficients, std::uint8_t p) {
    using namespace NVIDIAPLL;
    NSLog(format, coefficientM(coefficients), coefficientM2(coefficients),
          coefficientN(coefficients), coefficientN2(coefficients), p);
}

// A stock value is filled once: only while it is still 0.
template <class T>
void fillIfEmpty(T& field, T value) {
    if (field == 0) field = value;
}

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

std::optional<std::uint32_t> NVIDIACard::readRegister(std::uint32_t offset) {
    return readWithCommand(ReadNVIDIARegister, offset);
}

bool NVIDIACard::writeRegister(std::uint32_t offset, std::uint32_t value) {
    return writePropertiesWithCommand(WriteNVIDIARegister, offset, value);
}

bool NVIDIACard::initWithIOObject(io_service_t service) {
    driver_ = service;
    const std::optional<std::uint32_t> strap = readRegister(kStrapRegister);

    // Identity comes from the registry, without commands, so that a card
    // whose registers do not come is still known by its slot and model.
    io_registry_entry_t parent = 0;
    if (IORegistryEntryGetParentEntry(driver_, kIOServicePlane, &parent) == kIOReturnSuccess) {
        card_ = parent;
        fillModel();
        fillSlot();
        name_ = nsStringFromDataPropertyWithName("name");
        deviceID_ = static_cast<std::uint16_t>(uInt32FromDataPropertyWithName("device-id", card_));
    }
    isNV4x_ = isNV4xDeviceID(deviceID_);

    // Nothing more is asked of a driver that did not answer, and such a card
    // is never programmed.
    const std::optional<std::string> failedRead =
        strap ? readCrystalAndClocks(*strap) : registerRead("ReadNVIDIARegister", kStrapRegister);
    if (failedRead) {
        giveUpUnread(*failedRead);
        return false;
    }
    calculateFrequencies();
    clockStep_ = 1.0f;

    return model_.has_value() && slot_.has_value() && refClock_ != 0 && core_.current.pll != 0 &&
           memory_.current.pll != 0;
}

std::optional<std::string> NVIDIACard::readCrystalAndClocks(std::uint32_t strap) {
    if (isNV4x_) {
        // NV4x cards take their crystal bit from a second read of the strap.
        const std::optional<std::uint32_t> again = readRegister(kStrapRegister);
        if (!again) return registerRead("ReadNVIDIARegister", kStrapRegister);
        if (*again & kStrap27MHz) refClock_ = 27000;
    } else {
        refClock_ = (strap & kStrap14318kHz) ? 14318 : 13500;
    }
    return readFrequencies();
}

// What tells the two clocks apart: their registers, debug lines and the keys
// of their stock values in a card entry.
struct NVIDIACard::ClockFacts {
    std::uint32_t pllRegister;          // pre-NV4x
    std::uint32_t controlRegister;      // NV4x
    std::uint32_t coefficientRegister;  // NV4x
    const char* coefficientsLine;       // M, M2, N, N2 of the coefficient word; P
    const char* testLine;               // the same of the two-stage search's words
    const char* testFrequencyLine;
    const char* stockFrequencyKey;
    const char* stockPLLKey;
    const char* stockPLL2Key;
    const char* stockPKey;
};

const NVIDIACard::ClockFacts& NVIDIACard::facts(Clock clock) {
    static constexpr ClockFacts core = {kCorePLL,
                                        kCoreControl,
                                        kCoreCoefficients,
                                        "GM %d - GM2 %d - GN %d - GN2 %d - gP %d\n",
                                        "tGM %d - tGM2 %d - tGN %d - tGN2 %d - tgP %d\n",
                                        "Test VPU Frequency %f\n",
                                        kStockVPUKey,
                                        kStockGPLLKey,
                                        kStockGPLL2Key,
                                        kStockGPKey};
    static constexpr ClockFacts memory = {kMemoryPLL,
                                          kMemoryControl,
                                          kMemoryCoefficients,
                                          "MM %d - MM2 %d - MN %d - MN2 %d - mP %d\n",
                                          "tMM %d - tMM2 %d - tMN %d - tMN2 %d - tmP %d\n",
                                          "Test Mem Frequency %f\n",
                                          kStockMemoryKey,
                                          kStockMPLLKey,
                                          kStockMPLL2Key,
                                          kStockMPKey};
    return clock == Clock::Core ? core : memory;
}

std::vector<NVIDIACard::RegisterPair> NVIDIACard::registerPairs(Clock clock) const {
    std::vector<RegisterPair> pairs{
        {facts(clock).controlRegister, facts(clock).coefficientRegister}};
    if (clock == Clock::Core) return pairs;
    // 0x0041 and 0x00F2 carry the memory PLL in the first pair only.
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

std::optional<std::string> NVIDIACard::readFrequencies() {
    for (Clock clock : kClocks) {
        if (std::optional<std::string> failedRead = readClock(clock)) return failedRead;
    }
    return std::nullopt;
}

std::optional<std::string> NVIDIACard::readClock(Clock clock) {
    // The words are taken only when every one of them came, so a clock is
    // never computed from a mix of old and new words.
    const ClockFacts& registers = facts(clock);
    const std::uint32_t first = isNV4x_ ? registers.controlRegister : registers.pllRegister;
    const std::optional<std::uint32_t> word = readRegister(first);
    if (!word) return registerRead("ReadNVIDIARegister", first);
    std::optional<std::uint32_t> coefficients;
    if (isNV4x_) {
        coefficients = readRegister(registers.coefficientRegister);
        if (!coefficients) return registerRead("ReadNVIDIARegister", registers.coefficientRegister);
    }
    PLLWords& words = pll(clock).current;
    words.pll = *word;
    if (coefficients) words.pll2 = *coefficients;
    return std::nullopt;
}

void NVIDIACard::calculateFrequencies() {
    for (Clock clock : kClocks) calculateClock(clock);
}

void NVIDIACard::calculateClock(Clock clock) {
    using namespace NVIDIAPLL;
    PLLWords& words = pll(clock).current;
    if (isNV4x_) {
        words.p = controlP(words.pll);
        logCoefficients(facts(clock).coefficientsLine, words.pll2, words.p);
        frequency(clock) = megahertz(twoStageFrequency(words.pll2, words.p, refClock_));
    } else {
        words.p = wordP(words.pll);
        frequency(clock) = megahertz(singleStageFrequency(words.pll, refClock_));
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

bool NVIDIACard::savePLLWithVPUFrequency(float vpuFrequency, float memFrequency) {
    // Each clock is tried whatever became of the other.
    const bool coreAccepted = programClock(Clock::Core, vpuFrequency);
    const bool memoryAccepted = programClock(Clock::Memory, memFrequency);
    return endChange(coreAccepted && memoryAccepted);
}

bool NVIDIACard::endChange(bool accepted) {
    // Words that do not come back leave the clocks the card had; what the
    // card runs at is then unknown, so the change does not count as done.
    const bool readBack = !readFrequencies();
    calculateFrequencies();
    changeEnded(accepted && readBack, readBack);
    return accepted && readBack;
}

float NVIDIACard::reachableAbove(float requested) const {
    // The searches take a word within 0.5 % of the target, whose difference
    // they count in whole kHz.
    return requested * 0.005f + 1.0f;
}

bool NVIDIACard::programClock(Clock clock, float newFrequency) {
    // Exact comparison: a NaN counts as a change.
    if (newFrequency == frequency(clock)) return true;
    const float target = newFrequency * 1000.0f;
    if (isNV4x_) return programNV4xClock(clock, target);
    const std::uint32_t word = calculateBestPLLWithFrequency(target, pll(clock).current.p);
    // No word found: nothing is written and the clock stays where it is.
    return word == 0 || writeRegister(facts(clock).pllRegister, word);
}

bool NVIDIACard::programNV4xClock(Clock clock, float targetKHz) {
    using namespace NVIDIAPLL;
    const PLLWords& current = pll(clock).current;
    std::uint32_t pll1 = 0;
    std::uint32_t pll2 = 0;
    // No candidate: no words exist to write, and the clock stays where it is.
    if (!calculateBestPLLWithFrequency(targetKHz, current.p, current.pll, pll1, pll2)) return true;

    logCoefficients(facts(clock).testLine, pll2, controlP(pll1));
    NSLog(facts(clock).testFrequencyLine,
          static_cast<double>(megahertz(twoStageFrequency(pll2, controlP(pll1), refClock_))));

    // N2 = 0 would stop the clock; such words are never sent.
    if (coefficientN2(pll2) == 0) return true;

    bool accepted = true;
    for (const RegisterPair& pair : registerPairs(clock)) {
        if (!writeRegister(pair.control, pll1) || !writeRegister(pair.coefficients, pll2)) {
            accepted = false;
        }
    }
    return accepted;
}

void NVIDIACard::restoreStoredPLLWithVPU(float vpu, float memory) {
    savePLLWithVPUFrequency(vpu, memory);
}

void NVIDIACard::fillStock(Clock clock, float frequencyMHz, const PLLWords& words) {
    fillIfEmpty(stockFrequency(clock), frequencyMHz);
    PLLWords& stock = pll(clock).stock;
    fillIfEmpty(stock.pll, words.pll);
    fillIfEmpty(stock.p, words.p);
    // Earlier cards have no coefficient word.
    if (isNV4x_) fillIfEmpty(stock.pll2, words.pll2);
}

void NVIDIACard::setStockSettings() {
    for (Clock clock : kClocks) fillStock(clock, frequency(clock), pll(clock).current);
}

void NVIDIACard::getStockSettingsFromPrefsDictionary(const cf::Dictionary& entry) {
    for (Clock clock : kClocks) {
        PLLWords saved;
        saved.pll = uint32FromEntry(entry, facts(clock).stockPLLKey);
        saved.pll2 = uint32FromEntry(entry, facts(clock).stockPLL2Key);
        saved.p = static_cast<std::uint8_t>(uint32FromEntry(entry, facts(clock).stockPKey));
        fillStock(clock, floatFromEntry(entry, facts(clock).stockFrequencyKey), saved);
    }
}

void NVIDIACard::saveDefaultPLL() {
    bool accepted = true;
    for (Clock clock : kClocks) accepted = writeStockWords(clock) && accepted;
    endChange(accepted);
}

bool NVIDIACard::writeStockWords(Clock clock) {
    // Each word is put back as far as the driver lets it.
    const PLLWords& stock = pll(clock).stock;
    if (!isNV4x_) return writeRegister(facts(clock).pllRegister, stock.pll);
    bool accepted = true;
    for (const RegisterPair& pair : registerPairs(clock)) {
        accepted = writeRegister(pair.control, stock.pll) && accepted;
        accepted = writeRegister(pair.coefficients, stock.pll2) && accepted;
    }
    return accepted;
}

void NVIDIACard::appendStockRegisterKeys(cf::Dictionary& entry) const {
    // Words as 64-bit numbers holding the unsigned value, so that bit 31
    // survives a reader that takes numbers as signed.
    entry.set(kStockGPLLKey, cf::CFNumberCreate(cf::kCFNumberSInt64Type, core_.stock.pll));
    entry.set(kStockMPLLKey, cf::CFNumberCreate(cf::kCFNumberSInt64Type, memory_.stock.pll));
    entry.set(kStockGPKey, cf::CFNumberCreate(cf::kCFNumberIntType, core_.stock.p));
    entry.set(kStockMPKey, cf::CFNumberCreate(cf::kCFNumberIntType, memory_.stock.p));
    entry.set(kStockGPLL2Key, cf::CFNumberCreate(cf::kCFNumberSInt64Type, core_.stock.pll2));
    entry.set(kStockMPLL2Key, cf::CFNumberCreate(cf::kCFNumberSInt64Type, memory_.stock.pll2));
}

void NVIDIACard::addStockRegisterKeys(cf::Dictionary& entry) const {
    // Without known stock words the keys would record nothing true; the
    // pane then takes them from the card.
    if (core_.stock.pll != 0 && memory_.stock.pll != 0) appendStockRegisterKeys(entry);
}
