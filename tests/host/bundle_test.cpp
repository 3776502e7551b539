// Bundles: Info.plist, resources, localized strings, lookup by identifier,
// by address and for the running program, and the CF bundle/URL calls.
#include <dlfcn.h>

#include <cstdlib>

#include "host/Foundation.h"
#include "host/SimMac.h"
#include "support/Child.h"
#include "support/SimMacFixture.h"

using namespace cf;
using testsupport::readFile;
using testsupport::writeFile;
namespace fs = std::filesystem;

namespace {

// Bundles stay known to the process for its whole life, so each test uses
// identifiers of its own.
fs::path makeBundle(const fs::path& folder, const std::string& identifier,
                    const std::string& executable = "") {
    Dictionary info;
    info.set("CFBundleIdentifier", Value(identifier));
    if (!executable.empty()) info.set("CFBundleExecutable", Value(executable));
    info.set("NSPrincipalClass", Value("NameHalvornOddnyTarnwickPref"));
    std::string error;
    EXPECT_TRUE(writePropertyListFileAtomically((folder / "Contents" / "Info.plist").string(),
                                                Value(info), &error))
        << error;
    fs::create_directories(folder / "Contents" / "Resources");
    fs::create_directories(folder / "Contents" / "MacOS");
    return folder;
}

std::string utf16LE(const std::u16string& text) {
    std::string out = "\xFF\xFE";
    for (char16_t u : text) {
        out += static_cast<char>(u & 0xFF);
        out += static_cast<char>(u >> 8);
    }
    return out;
}

// Sets an environment variable for one scope.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old;
        if (value)
            setenv(name, value, 1);
        else
            unsetenv(name);
    }
    ~ScopedEnv() {
        if (old_)
            setenv(name_, old_->c_str(), 1);
        else
            unsetenv(name_);
    }

private:
    const char* name_;
    std::optional<std::string> old_;
};

// The user's language for one scope: LANG alone says it.
struct ScopedLanguage {
    explicit ScopedLanguage(const char* lang) : lang_("LANG", lang) {}
    ScopedEnv language_{"LANGUAGE", nullptr}, lcAll_{"LC_ALL", nullptr},
        lcMessages_{"LC_MESSAGES", nullptr}, lang_;
};

TEST(Bundles, AFolderWithoutContentsIsNoBundle) {
    testsupport::TempSimMac scratch;
    fs::create_directories(scratch.root() / "Plain");
    EXPECT_EQ(NSBundle::bundleWithPath((scratch.root() / "Plain").string()), nullptr);
    EXPECT_EQ(NSBundle::bundleWithPath((scratch.root() / "Missing.app").string()), nullptr);
    EXPECT_EQ(NSBundle::bundleWithPath(""), nullptr);
}

TEST(Bundles, OpenedBundleGivesItsInfoAndIsFoundByIdentifier) {
    testsupport::TempSimMac scratch;
    const fs::path folder = makeBundle(scratch.root() / "TarnwickPref.prefPane",
                                       "test.info.TarnwickPref", "TarnwickPref");
    auto bundle = NSBundle::bundleWithPath(folder.string());
    ASSERT_NE(bundle, nullptr);
    EXPECT_EQ(bundle->bundlePath(), folder.string());
    EXPECT_EQ(bundle->bundleIdentifier(), "test.info.TarnwickPref");
    EXPECT_EQ(*bundle->infoDictionary().get("NSPrincipalClass")->string(),
              "NameHalvornOddnyTarnwickPref");
    EXPECT_EQ(bundle->resourcePath(), (folder / "Contents" / "Resources").string());
    EXPECT_EQ(bundle->executablePath(), (folder / "Contents" / "MacOS" / "TarnwickPref").string());

    // The same folder by another spelling is the same bundle.
    EXPECT_EQ(NSBundle::bundleWithPath(folder.string() + "/"), bundle);
    EXPECT_EQ(NSBundle::bundleWithPath((folder / ".." / folder.filename()).string()), bundle);

    EXPECT_EQ(NSBundle::bundleWithIdentifier("test.info.TarnwickPref"), bundle);
    EXPECT_EQ(NSBundle::bundleWithIdentifier("test.info.nobody"), nullptr);
}

TEST(Bundles, BundleWithoutUsableInfoPlistHasNoIdentifier) {
    testsupport::TempSimMac scratch;
    fs::create_directories(scratch.root() / "Bare.app" / "Contents");
    auto bare = NSBundle::bundleWithPath((scratch.root() / "Bare.app").string());
    ASSERT_NE(bare, nullptr);
    EXPECT_FALSE(bare->bundleIdentifier());
    EXPECT_EQ(bare->executablePath(),
              (scratch.root() / "Bare.app" / "Contents" / "MacOS" / "Bare").string());

    writeFile(scratch.root() / "Broken.app" / "Contents" / "Info.plist", "<plist><dict>");
    ::testing::internal::CaptureStderr();
    auto broken = NSBundle::bundleWithPath((scratch.root() / "Broken.app").string());
    ::testing::internal::GetCapturedStderr();
    ASSERT_NE(broken, nullptr);
    EXPECT_FALSE(broken->bundleIdentifier());
    EXPECT_CONTAINS(readFile(host::systemLogPath()), "Broken.app");
}

TEST(Bundles, PathForResourceLooksInResourcesThenEnglish) {
    testsupport::TempSimMac scratch;
    ScopedLanguage language("C");
    const fs::path folder = makeBundle(scratch.root() / "Res.prefPane", "test.resources");
    const fs::path res = folder / "Contents" / "Resources";
    writeFile(res / "TarnwickIcon.tiff", "II*");
    writeFile(res / "English.lproj" / "Help.html", "<html/>");
    writeFile(res / "en.lproj" / "Only.txt", "en");
    writeFile(res / "Both.txt", "top");
    writeFile(res / "English.lproj" / "Both.txt", "english");
    fs::create_directories(res / "TarnwickStartup.app" / "Contents" / "MacOS");
    auto bundle = NSBundle::bundleWithPath(folder.string());
    ASSERT_NE(bundle, nullptr);

    const auto check = [&](const char* name, const char* type,
                           const std::optional<fs::path>& expected) {
        EXPECT_EQ(bundle->pathForResource(name, type),
                  expected ? std::optional(expected->string()) : std::nullopt)
            << name << "." << type;
    };
    check("TarnwickIcon", "tiff", res / "TarnwickIcon.tiff");
    check("TarnwickStartup", "app", res / "TarnwickStartup.app");  // a folder is a resource too
    check("Help", "html", res / "English.lproj" / "Help.html");
    check("Only", "txt", res / "en.lproj" / "Only.txt");
    check("Both", "txt", res / "Both.txt");
    check("TarnwickIcon.tiff", "", res / "TarnwickIcon.tiff");
    check("TarnwickIcon", "png", std::nullopt);
    check("Missing", "app", std::nullopt);
    check("", "tiff", std::nullopt);
}

TEST(Bundles, LocalizedStringsWithFallback) {
    testsupport::TempSimMac scratch;
    ScopedLanguage language("en_US.UTF-8");
    const fs::path folder = makeBundle(scratch.root() / "Strings.prefPane", "test.strings");
    const fs::path res = folder / "Contents" / "Resources";
    // Saved as UTF-16, as Apple's tools save .strings files.
    writeFile(res / "English.lproj" / "Localizable.strings",
              utf16LE(u"/* Pane */\n\"CONFIG_FAILED\" = \"The clocks could not be set.\";\n"
                      u"\"BUILT-IN_CARD\" = \"Built-in \u00E9\";\n"));
    writeFile(res / "en.lproj" / "Localizable.strings",
              "\"EN_ONLY\" = \"from en\"; \"CONFIG_FAILED\" = \"not this\";");
    writeFile(res / "English.lproj" / "Other.strings", "\"CONFIG_FAILED\" = \"other table\";");
    auto bundle = NSBundle::bundleWithPath(folder.string());
    ASSERT_NE(bundle, nullptr);

    EXPECT_EQ(bundle->localizedStringForKey("CONFIG_FAILED", "Key not found"),
              "The clocks could not be set.");
    EXPECT_EQ(bundle->localizedStringForKey("BUILT-IN_CARD", "Key not found"), "Built-in \xC3\xA9");
    EXPECT_EQ(bundle->localizedStringForKey("EN_ONLY", "Key not found"), "from en");
    EXPECT_EQ(bundle->localizedStringForKey("NO_CARD_MESSAGE", "Key not found"), "Key not found");
    EXPECT_EQ(bundle->localizedStringForKey("NO_CARD_MESSAGE", ""), "NO_CARD_MESSAGE");
    EXPECT_EQ(bundle->localizedStringForKey("CONFIG_FAILED", "Key not found", "Other"),
              "other table");
    EXPECT_EQ(bundle->localizedStringForKey("CONFIG_FAILED", "Key not found", "Absent"),
              "Key not found");
}

TEST(Bundles, LocalizedStringsPreferTheUsersLanguage) {
    testsupport::TempSimMac scratch;
    ScopedEnv language("LANGUAGE", "fr:en");
    const fs::path folder = makeBundle(scratch.root() / "French.prefPane", "test.strings.french");
    const fs::path res = folder / "Contents" / "Resources";
    writeFile(res / "fr.lproj" / "Localizable.strings", "\"CONFIG_FAILED\" = \"\303\211chec\";");
    writeFile(res / "English.lproj" / "Localizable.strings",
              "\"CONFIG_FAILED\" = \"Failed\"; \"NO_CARD_MESSAGE\" = \"No card\";");
    auto bundle = NSBundle::bundleWithPath(folder.string());
    ASSERT_NE(bundle, nullptr);
    EXPECT_EQ(bundle->localizedStringForKey("CONFIG_FAILED", "Key not found"), "\303\211chec");
    EXPECT_EQ(bundle->localizedStringForKey("NO_CARD_MESSAGE", "Key not found"), "No card");
}

TEST(Bundles, MalformedStringsFileGivesTheFallbackAndALogLine) {
    testsupport::TempSimMac scratch;
    ScopedEnv language("LANGUAGE", "en");
    const fs::path folder = makeBundle(scratch.root() / "Bad.prefPane", "test.strings.bad");
    writeFile(folder / "Contents" / "Resources" / "English.lproj" / "Localizable.strings",
              "\"A\" = \"1\"\n\"B\" = \"2\";");
    auto bundle = NSBundle::bundleWithPath(folder.string());
    ASSERT_NE(bundle, nullptr);
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(bundle->localizedStringForKey("A", "Key not found"), "Key not found");
    ::testing::internal::GetCapturedStderr();
    const std::string log = readFile(host::systemLogPath());
    EXPECT_CONTAINS(log, "Localizable.strings");
    EXPECT_CONTAINS(log, "line 2");
}

TEST(CFBundle, FromIdentifierToURLToFileSystemReference) {
    testsupport::TempSimMac scratch;
    const fs::path folder =
        makeBundle(scratch.root() / "My Panes%" / "Tarnwick Pref.prefPane", "test.cf.TarnwickPref");
    ASSERT_NE(NSBundle::bundleWithPath(folder.string()), nullptr);

    auto bundle = CFBundleGetBundleWithIdentifier("test.cf.TarnwickPref");
    ASSERT_NE(bundle, nullptr);
    auto url = CFBundleCopyBundleURL(bundle);
    ASSERT_TRUE(url);
    EXPECT_EQ(*url,
              "file://" + scratch.root().string() + "/My%20Panes%25/Tarnwick%20Pref.prefPane/");
    FSRef ref;
    ASSERT_TRUE(CFURLGetFSRef(*url, &ref));
    EXPECT_EQ(ref.path, folder.string());

    EXPECT_EQ(CFBundleGetBundleWithIdentifier("test.cf.nobody"), nullptr);
    EXPECT_FALSE(CFBundleCopyBundleURL(nullptr));
}

TEST(CFBundle, URLsThatNameNoExistingObjectGiveNoReference) {
    testsupport::TempSimMac scratch;
    const std::string existing = scratch.root().string();
    const auto check = [&](const std::string& url, bool ok) {
        FSRef ref;
        EXPECT_EQ(CFURLGetFSRef(url, &ref), ok) << url;
        if (ok) {
            EXPECT_EQ(ref.path, existing) << url;
        }
    };
    check("file://" + existing + "/", true);
    check("file://localhost" + existing, true);
    check(existing, true);
    for (const char* suffix : {"/missing/", "/%zz", "/%"})
        check("file://" + existing + suffix, false);
    for (const char* url : {"relative/path", "http://example.com/", ""}) check(url, false);
    EXPECT_FALSE(CFURLGetFSRef(existing, nullptr));
}

TEST(BundleForAddress, FindsTheBundleOfALoadedModuleAndSharesTheRegistry) {
    testsupport::TempSimMac scratch;
    const fs::path folder =
        makeBundle(scratch.root() / "Module.prefPane", "test.address.module", "Module");
    const fs::path module = folder / "Contents" / "MacOS" / "Module";
    fs::copy_file(HOST_TEST_MODULE_PATH, module);
    const fs::path other = makeBundle(scratch.root() / "Other.app", "test.address.openedByProgram");
    ASSERT_NE(NSBundle::bundleWithPath(other.string()), nullptr);

    void* handle = dlopen(module.c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(handle, nullptr) << dlerror();
    void* marker = dlsym(handle, "bundleTestModuleMarker");
    auto findsIdentifier =
        reinterpret_cast<bool (*)(const char*)>(dlsym(handle, "bundleTestModuleFindsIdentifier"));
    ASSERT_NE(marker, nullptr);
    ASSERT_NE(findsIdentifier, nullptr);

    auto bundle = NSBundle::bundleForAddress(marker);
    ASSERT_NE(bundle, nullptr);
    EXPECT_EQ(bundle->bundlePath(), folder.string());
    EXPECT_EQ(bundle->bundleIdentifier(), "test.address.module");

    // The module sees the bundles the program opened, and the other way round.
    EXPECT_TRUE(findsIdentifier("test.address.openedByProgram"));
    EXPECT_TRUE(findsIdentifier("test.address.module"));
    EXPECT_FALSE(findsIdentifier("test.address.nobody"));
    dlclose(handle);
}

TEST(BundleForAddress, CodeOutsideAnyBundleHasNone) {
    static int local = 0;
    EXPECT_EQ(NSBundle::bundleForAddress(&local),
              nullptr);  // the test program, in the build folder
    EXPECT_EQ(NSBundle::bundleForAddress(reinterpret_cast<const void*>(&host::simmacRoot)),
              nullptr);  // libhost
    EXPECT_EQ(NSBundle::bundleForAddress(nullptr), nullptr);
}

constexpr const char* kExpectedMainBundle = "BUNDLE_TEST_EXPECTED_MAIN_BUNDLE";

// Runs a copy of this test program from inside a bundle, where it checks
// mainBundle (the test below, in its child mode).
int runFromBundle(const fs::path& executable, const fs::path& expectedBundle) {
    return testsupport::run({"/usr/bin/env",
                             std::string(kExpectedMainBundle) + "=" + expectedBundle.string(),
                             executable.string(), "--gtest_filter=MainBundle.*"})
        .status;
}

TEST(MainBundle, IsTheBundleWhoseMacOSFolderHoldsTheProgram) {
    if (const char* expected = std::getenv(kExpectedMainBundle)) {
        // Child mode: this copy runs from inside a bundle.
        auto main = NSBundle::mainBundle();
        ASSERT_NE(main, nullptr);
        EXPECT_EQ(main->bundlePath(), expected);
        ASSERT_TRUE(main->bundleIdentifier());
        EXPECT_EQ(NSBundle::bundleWithIdentifier(*main->bundleIdentifier()), main);
        static int local = 0;
        EXPECT_EQ(NSBundle::bundleForAddress(&local), main);
        return;
    }

    EXPECT_EQ(NSBundle::mainBundle(), nullptr);  // the test program lies in the build folder

    testsupport::TempSimMac scratch;
    std::error_code ec;
    const fs::path self = fs::read_symlink("/proc/self/exe", ec);
    ASSERT_FALSE(ec);

    const fs::path copied = makeBundle(scratch.root() / "Copied.app", "test.main.copied", "Copied");
    fs::copy_file(self, copied / "Contents" / "MacOS" / "Copied");
    EXPECT_EQ(runFromBundle(copied / "Contents" / "MacOS" / "Copied", copied), 0);

    // An executable that is a link to the program elsewhere still belongs to
    // the bundle it was started from.
    const fs::path linked = makeBundle(scratch.root() / "Linked.app", "test.main.linked", "Linked");
    fs::create_symlink(self, linked / "Contents" / "MacOS" / "Linked");
    EXPECT_EQ(runFromBundle(linked / "Contents" / "MacOS" / "Linked", linked), 0);
}

}  // namespace
