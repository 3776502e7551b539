// .strings tables as any bytes: the parser yields a table or an error, and a
// bundle whose English Localizable.strings holds the bytes answers every key
// of that table with its text, or the fallback when the table is refused.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>

#include "FuzzSimMac.h"
#include "host/Foundation.h"
#include "host/SimMac.h"

namespace {

constexpr std::size_t kKeysToLookUp = 32;
const std::string kFallback = "\x01 fallback";

std::filesystem::path bundleFolder() { return host::simmacRoot() / "Fuzz.bundle"; }

std::filesystem::path tablePath() {
    return bundleFolder() / "Contents" / "Resources" / "English.lproj" / "Localizable.strings";
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzzsupport::initSimMac();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    std::string error;
    std::optional<cf::Dictionary> table = host::parseStringsFile(bytes, &error);
    if (!table && error.empty()) fuzzsupport::fail("a refused table has no message");
    if (table) {
        for (const auto& [key, value] : table->items())
            if (!value.string()) fuzzsupport::fail("the text of \"" + key + "\" is not a string");
    }

    // A new bundle object each time: bundles keep the tables they parsed.
    if (!host::writeFileAtomically(tablePath(), bytes, &error))
        fuzzsupport::fail("cannot write the table: " + error);
    ::unlink(host::systemLogPath().c_str());
    const NSBundle bundle(bundleFolder().string(), cf::Dictionary{});
    if (!table) {
        if (bundle.localizedStringForKey("CONFIG_FAILED", kFallback) != kFallback)
            fuzzsupport::fail("a refused table still answers");
        return 0;
    }
    std::size_t looked = 0;
    for (const auto& [key, value] : table->items()) {
        if (++looked > kKeysToLookUp) break;
        if (bundle.localizedStringForKey(key, kFallback) != *value.string())
            fuzzsupport::fail("the bundle answers \"" + key +
                              "\" with another text than the table holds");
    }
    if (!table->contains("\x02 absent") &&
        bundle.localizedStringForKey("\x02 absent", kFallback) != kFallback)
        fuzzsupport::fail("a key the table lacks does not yield the fallback");
    return 0;
}
