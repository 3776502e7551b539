// An NVIDIA graphics card: PLL family and reference crystal, reading and
// programming the core and memory PLL registers, stock PLL words.
#pragma once

#include <cstdint>
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
    void addStockRegisterKeys(cf::Dictionary& entry) const override;

    void readFrequencies();

    // The searches, on this card's reference crystal. The single-stage one
    // yields 0 when no word was accepted; the two-stage one leaves pll1 and
    // pll2 untouched and yields false when no candidate passed.
    std::uint32_t calculateBestPLLWithFrequency(float targetKHz, std::uint8_t p) const;
    bool calculateBestPLLWithFrequency(float targetKHz, std::uint8_t p, std::uint32_t origPLL1,
                                       std::uint32_t& pll1, std::uint32_t& pll2) const;

    std::uint16_t refClock() const { return refClock_; }
    bool isNV4x() const { return isNV4x_; }

private:
    // Reads one card register through the driver (command, then "RegValue").
    std::uint32_t readRegister(std::uint32_t offset);
    bool writeRegister(std::uint32_t offset, std::uint32_t value);
    // The further register pairs that carry the NV4x memory PLL on some cards.
    struct RegisterPair {
        std::uint32_t control;
        std::uint32_t coefficients;
    };
    std::vector<RegisterPair> memoryRegisterPairs() const;
    // Two-stage search for one clock, its two test lines, and the writes:
    // the coefficient word of each pair only after its control word was
    // accepted. False when the driver refused a write.
    enum class Clock { Core, Memory };
    bool programNV4xClock(Clock clock, float targetKHz, std::uint8_t p, std::uint32_t origPLL1,
                          const std::vector<RegisterPair>& pairs);
    void appendStockRegisterKeys(cf::Dictionary& entry) const;

    std::uint16_t refClock_ = 0;
    std::uint32_t gPLL_ = 0;
    std::uint32_t gPLL2_ = 0;
    std::uint32_t mPLL_ = 0;
    std::uint32_t mPLL2_ = 0;
    std::uint32_t stockGPLL_ = 0;
    std::uint32_t stockGPLL2_ = 0;
    std::uint32_t stockMPLL_ = 0;
    std::uint32_t stockMPLL2_ = 0;
    std::uint8_t gP_ = 0;
    std::uint8_t mP_ = 0;
    std::uint8_t stockGP_ = 0;
    std::uint8_t stockMP_ = 0;
    bool isNV4x_ = false;
};
