// User defaults persistent domains on a temporary simulated Mac.

#include "support/SimMacFixture.h"
#include "host/Foundation.h"
#include "host/SimMac.h"

using namespace cf;
using testsupport::domainFile;
using testsupport::readFile;
using testsupport::writeFile;

namespace {

const std::string kDomain = "name.halvorn.oddny.TarnwickPref";

Dictionary everyValueType() {
    Dictionary card;
    card.set("Slot", Value("SLOT-1"));
    card.set("Model", Value("GeForce 6800 GT"));
    card.set("VPU", CFNumberCreateReal(kCFNumberFloatType, 350.5));
    card.set("Memory", CFNumberCreateReal(kCFNumberFloatType, 500.25));
    card.set("Stock GPLL", CFNumberCreate(kCFNumberSInt64Type, 0x80016B0DLL));
    card.set("Stock MPLL", CFNumberCreate(kCFNumberIntType, 0xC0020C08LL));
    card.set("Stock GP", CFNumberCreate(kCFNumberCharType, 15));
    card.set("Double", CFNumberCreateReal(kCFNumberDoubleType, 0.1));
    card.set("Bytes", Value(Data{0xDE, 0xAD, 0x00, 0xEF}));
    Dictionary domain;
    domain.set("Set at Startup", Value(true));
    domain.set("Off", Value(false));
    domain.set("Cards", Value(Array{Value(card), Value(Dictionary{})}));
    return domain;
}

TEST(UserDefaults, AbsentDomainIsNothing) {
    testsupport::TempSimMac scratch;
    EXPECT_FALSE(NSUserDefaults::standardUserDefaults().persistentDomainForName(kDomain));
    EXPECT_FALSE(std::filesystem::exists(host::systemLogPath()));  // nothing to complain about
}

TEST(UserDefaults, EveryValueTypeRoundTripsThroughAnXMLFile) {
    testsupport::TempSimMac scratch;
    auto& defaults = NSUserDefaults::standardUserDefaults();
    defaults.setPersistentDomain(everyValueType(), kDomain);
    EXPECT_TRUE(defaults.synchronize());

    const std::string file = readFile(domainFile(kDomain));
    EXPECT_EQ(file.rfind("<?xml", 0), 0u);
    EXPECT_CONTAINS(file, "<key>Set at Startup</key>\n\t<true/>");
    EXPECT_CONTAINS(file, "<integer>2147576589</integer>");  // 0x80016B0D

    auto back = defaults.persistentDomainForName(kDomain);
    ASSERT_TRUE(back);
    EXPECT_EQ(*back, everyValueType());
    const Dictionary& card = *back->get("Cards")->array()->at(0).dictionary();
    EXPECT_EQ(card.get("Stock GPLL")->number()->uint32Value(), 0x80016B0Du);
    EXPECT_EQ(card.get("Stock MPLL")->number()->uint32Value(), 0xC0020C08u);
    EXPECT_EQ(floatValue(card.get("VPU")), 350.5f);
    EXPECT_TRUE(card.get("VPU")->number()->isReal());
}

TEST(UserDefaults, SettingReplacesTheWholeDomainAndLeavesOthersAlone) {
    testsupport::TempSimMac scratch;
    auto& defaults = NSUserDefaults::standardUserDefaults();
    Dictionary login;
    login.set("AutoLaunchedApplicationDictionary", Value(Array{}));
    defaults.setPersistentDomain(login, "loginwindow");
    defaults.setPersistentDomain(everyValueType(), kDomain);

    Dictionary smaller;
    smaller.set("Set at Startup", Value(false));
    defaults.setPersistentDomain(smaller, kDomain);
    EXPECT_EQ(*defaults.persistentDomainForName(kDomain), smaller);
    EXPECT_EQ(*defaults.persistentDomainForName("loginwindow"), login);

    // An empty domain exists and is empty.
    defaults.setPersistentDomain(Dictionary{}, kDomain);
    auto empty = defaults.persistentDomainForName(kDomain);
    ASSERT_TRUE(empty);
    EXPECT_TRUE(empty->empty());

    // A removed domain is gone; removing it again is no failure.
    defaults.removePersistentDomainForName(kDomain);
    defaults.removePersistentDomainForName(kDomain);
    EXPECT_TRUE(defaults.synchronize());
    EXPECT_FALSE(std::filesystem::exists(domainFile(kDomain)));
    EXPECT_EQ(*defaults.persistentDomainForName("loginwindow"), login);
}

TEST(UserDefaults, ReadsTheFileAnotherProcessWroteSinceTheLastRead) {
    testsupport::TempSimMac scratch;
    auto& defaults = NSUserDefaults::standardUserDefaults();
    defaults.setPersistentDomain(everyValueType(), kDomain);
    ASSERT_TRUE(defaults.persistentDomainForName(kDomain));
    // Another writer replaces the file directly.
    Dictionary other;
    other.set("Set at Startup", Value(false));
    std::string error;
    ASSERT_TRUE(
        writePropertyListFileAtomically(domainFile(kDomain).string(), Value(other), &error));
    EXPECT_EQ(*defaults.persistentDomainForName(kDomain), other);
}

struct CorruptCase {
    const char* name;
    std::string bytes;
};

class CorruptDomainFile : public ::testing::TestWithParam<CorruptCase> {};

TEST_P(CorruptDomainFile, ReadsAsNothingIsLoggedAndIsKeptWhenReplaced) {
    testsupport::TempSimMac scratch;
    auto& defaults = NSUserDefaults::standardUserDefaults();
    const std::string& bytes = GetParam().bytes;
    writeFile(domainFile(kDomain), bytes);

    EXPECT_FALSE(defaults.persistentDomainForName(kDomain));
    const std::string log = readFile(host::systemLogPath());
    EXPECT_CONTAINS(log, kDomain);
    EXPECT_EQ(readFile(domainFile(kDomain)), bytes);  // reading changes nothing

    // Removed or replaced, it is kept first.
    const std::filesystem::path kept = domainFile(kDomain).string() + ".corrupt";
    defaults.removePersistentDomainForName(kDomain);
    EXPECT_EQ(readFile(kept), bytes);
    EXPECT_FALSE(std::filesystem::exists(domainFile(kDomain)));
    std::filesystem::remove(kept);
    writeFile(domainFile(kDomain), bytes);
    defaults.setPersistentDomain(everyValueType(), kDomain);
    EXPECT_EQ(readFile(kept), bytes);
    EXPECT_EQ(*defaults.persistentDomainForName(kDomain), everyValueType());

    // A good file is replaced without keeping anything else.
    defaults.setPersistentDomain(Dictionary{}, kDomain);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(host::preferencesDir()), {}), 2);
}

INSTANTIATE_TEST_SUITE_P(
    Files, CorruptDomainFile,
    ::testing::Values(
        CorruptCase{"notAPlist", "this is not a property list\n"},
        CorruptCase{"truncated",
                    "<?xml version=\"1.0\"?>\n<plist version=\"1.0\">\n<dict>\n<key>Cards"},
        CorruptCase{"arrayNotDictionary", "<plist version=\"1.0\"><array><true/></array></plist>"},
        CorruptCase{"binaryGarbage", std::string("bplist00\x00\x01\x02", 11)},
        CorruptCase{"empty", ""}),
    [](const ::testing::TestParamInfo<CorruptCase>& info) { return std::string(info.param.name); });

TEST(UserDefaults, AnEarlierKeptFileIsNeverOverwritten) {
    testsupport::TempSimMac scratch;
    auto& defaults = NSUserDefaults::standardUserDefaults();
    const std::filesystem::path kept = domainFile(kDomain).string() + ".corrupt";

    writeFile(domainFile(kDomain), "first broken file");
    defaults.setPersistentDomain(Dictionary{}, kDomain);
    writeFile(domainFile(kDomain), "second broken file");
    defaults.setPersistentDomain(Dictionary{}, kDomain);

    EXPECT_EQ(readFile(kept), "first broken file");
    EXPECT_EQ(readFile(kept.string() + ".1"), "second broken file");
}

TEST(UserDefaults, DomainNamesThatLeaveThePreferencesFolderAreRefused) {
    testsupport::TempSimMac scratch;
    auto& defaults = NSUserDefaults::standardUserDefaults();
    for (const std::string name : {"../escape", "a/b", "", ".."}) {
        defaults.setPersistentDomain(everyValueType(), name);
        EXPECT_FALSE(defaults.persistentDomainForName(name)) << name;
    }
    EXPECT_FALSE(std::filesystem::exists(host::simmacRoot() / "Library" / "escape.plist"));
    EXPECT_FALSE(std::filesystem::exists(host::preferencesDir() / "a"));
}

// synchronize says whether every write since the last synchronize reached
// its file: a failed one is remembered until then, also when its cause is
// gone by that time, and forgotten afterwards.
TEST(UserDefaults, SynchronizeReportsAWriteThatFailedSinceTheLastSynchronize) {
    auto& defaults = NSUserDefaults::standardUserDefaults();
    const auto check = [&](const char* name, bool preferencesIsAFile, const std::string& domain,
                           bool written) {
        SCOPED_TRACE(name);
        testsupport::TempSimMac scratch;
        defaults.synchronize();  // forget what earlier writes did; makes the folder
        if (preferencesIsAFile) {
            std::filesystem::remove(host::preferencesDir());
            writeFile(host::preferencesDir(), "not a folder");
        }
        defaults.setPersistentDomain(everyValueType(), domain);
        if (preferencesIsAFile) {
            std::filesystem::remove(host::preferencesDir());
            std::filesystem::create_directories(host::preferencesDir());
        }
        EXPECT_EQ(defaults.synchronize(), written);
        EXPECT_EQ(readFile(host::systemLogPath()).find(" written") == std::string::npos, written);
        EXPECT_TRUE(defaults.synchronize()) << "a failure is told once";
    };
    check("written", false, kDomain, true);
    check("Library/Preferences is a file", true, kDomain, false);
    check("no usable domain name", false, "a/b", false);
}

TEST(UserDefaults, FollowsSimmacRootWhenItChanges) {
    auto& defaults = NSUserDefaults::standardUserDefaults();
    Dictionary marker;
    marker.set("Which", Value("first"));
    testsupport::TempSimMac first;
    defaults.setPersistentDomain(marker, kDomain);
    {
        testsupport::TempSimMac second;
        EXPECT_FALSE(defaults.persistentDomainForName(kDomain));
    }
    EXPECT_EQ(*defaults.persistentDomainForName(kDomain), marker);
}

}  // namespace
