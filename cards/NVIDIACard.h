// An NVIDIA graphics card: PLL family and reference crystal, reading and
// programming the core and memory PLL registers, stock PLL words.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "Card.h"

class NVIDIACard : public Card {
public:
    // Register offsets passed to the clock driver.
    static constexpr std::uint32_t kStrapRegister = 0x101000;
    static constexpr std::uint32_t kCorePLL = 0x680500;    // pre-NV4x
    static constexpr std::uint32_t kMemoryPLL = 0x680504;  // pre-NV4x
    static constexpr std::uint32_t kCoreControl = 0x4000;  // NV4x
    static constexpr std::uint32_t kCoreCoefficients = 0x4004;
    static constexpr std::uint32_t kMemoryControl = 0x4020;
    static constexpr std::uint32_t kMemoryCoefficients = 0x4024;

    static bool isNV4xDeviceID(std::uint16_t deviceID);

    void calculateFrequencies() override;
    bool savePLLWithVPUFrequency(float vpuFrequency, float memFrequency) override;
    void restoreStoredPLLWithVPU(float vpu, float memory) override;
    void setStockSettings() override;
    void getStockSettingsFromPrefsDictionary(const cf::Dictionary& entry) override;
    void saveDefaultPLL() override;
    bool initWithIOObject(io_service_t service) override;
    PANE_ONLY(cf::Dictionary saveCardInfo() override;)
    float reachableAbove(float requested) const override;
    void addStockRegisterKeys(cf::Dictionary& entry) const override;

    // Reads the PLL words of both clocks. A failed read ends it: that clock
    // and any after it keep the words they had. The read that failed, if any.
    std::optional<std::string> readFrequencies();

    // The searches, on this card's reference crystal. The single-stage one
    // yields 0 when no word was accepted; the two-stage one leaves pll1 and
    // pll2 untouched and yields false when no candidate passed.
    std::uint32_t calculateBestPLLWithFrequency(float targetKHz, std::uint8_t p) const;
    bool calculateBestPLLWithFrequency(float targetKHz, std::uint8_t p, std::uint32_t origPLL1,
                                       std::uint32_t& pll1, std::uint32_t& pll2) const;

    std::uint16_t refClock() const { return refClock_; }
    bool isNV4x() const { return isNV4x_; }

private:
    // The card's two clocks, in the order they are read, programmed and
    // written back.
    enum class Clock { Core, Memory };
    static constexpr Clock kClocks[] = {Clock::Core, Clock::Memory};

    // One clock's PLL registers as the card holds them.
    struct PLLWords {
        std::uint32_t pll = 0;   // pre-NV4x: the PLL word; NV4x: the control word
        std::uint32_t pll2 = 0;  // NV4x: the coefficient word; 0 on earlier cards
        std::uint8_t p = 0;      // the post divider, taken from pll
    };
    // A clock's words as last read, and their stock values (0 = not recorded
    // yet).
    struct ClockPLL {
        PLLWords current;
        PLLWords stock;
    };
    // The registers, debug lines and entry keys of one clock.
    struct ClockFacts;
    static const ClockFacts& facts(Clock clock);

    // A control word's register and the coefficient word's that goes with it.
    struct RegisterPair {
        std::uint32_t control;
        std::uint32_t coefficients;
    };

    ClockPLL& pll(Clock clock) { return clock == Clock::Core ? core_ : memory_; }
    float& frequency(Clock clock) { return clock == Clock::Core ? vpuFrequency_ : memFrequency_; }
    float& stockFrequency(Clock clock) {
        return clock == Clock::Core ? realStockVPUFreq_ : realStockMemFreq_;
    }

    // Reads one card register through the driver (command, then "RegValue");
    // nothing when no answer came.
    std::optional<std::uint32_t> readRegister(std::uint32_t offset);
    bool writeRegister(std::uint32_t offset, std::uint32_t value);
    // The NV4x registers that carry a clock's words: the core's one pair; the
    // memory's first pair and, on some cards, further ones.
    std::vector<RegisterPair> registerPairs(Clock clock) const;

    // Reads a clock's words and takes them only when all came; else the
    // read that failed.
    std::optional<std::string> readClock(Clock clock);
    // Creation's reads after the strap's first answer: the reference crystal
    // and both clocks' words. The read that failed, if any.
    std::optional<std::string> readCrystalAndClocks(std::uint32_t strap);
    void calculateClock(Clock clock);
    // Moves one clock to a new frequency unless it is there already; false
    // when the driver refused a write.
    bool programClock(Clock clock, float frequency);
    // Two-stage search, its two test lines, and the writes: the coefficient
    // word of each pair only after its control word was accepted.
    bool programNV4xClock(Clock clock, float targetKHz);
    // False when the driver refused a word.
    bool writeStockWords(Clock clock);
    // Reads both clocks back after a change whose writes were `accepted` or
    // not; true when the change reached its clocks.
    bool endChange(bool accepted);
    // Fills each stock value of the clock that is still empty.
    void fillStock(Clock clock, float frequencyMHz, const PLLWords& words);
    void appendStockRegisterKeys(cf::Dictionary& entry) const;

    std::uint16_t refClock_ = 0;
    ClockPLL core_;
    ClockPLL memory_;
    bool isNV4x_ = false;
};
