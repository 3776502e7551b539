// The pane's login item (the startup tool in the "loginwindow" domain) and
// its help book.
#include "NameHalvornOddnyTarnwickPref.h"
#include "host/AppleHelp.h"
#include "host/Log.h"

namespace {
constexpr const char* kPaneBundleIdentifier = "name.halvorn.oddny.TarnwickPref";
constexpr const char* kLoginWindowDomain = "loginwindow";
constexpr const char* kAutoLaunchedApplicationsKey = "AutoLaunchedApplicationDictionary";
constexpr const char* kPathKey = "Path";
constexpr const char* kHideKey = "Hide";
}  // namespace

bool NameHalvornOddnyTarnwickPref::addStartupItem(bool addItem) {
    NSUserDefaults& defaults = NSUserDefaults::standardUserDefaults();
    // 1.
    const std::optional<cf::Dictionary> domain =
        defaults.persistentDomainForName(kLoginWindowDomain);
    // 2. Login items in another form (another program's one dictionary, say)
    // would be lost by writing a list in their place.
    cf::Array items;
    if (const cf::Value* existing = domain ? domain->get(kAutoLaunchedApplicationsKey) : nullptr) {
        if (existing->array() == nullptr) {
            NSLog(
                "Tarnwick: the login items (AutoLaunchedApplicationDictionary) are not a list; "
                "left unchanged\n");
            return false;
        }
        items = *existing->array();
    }
    // 3. Without the tool there is no path to add, nor one to recognise the
    // old entry by; the login items stay as they are.
    const std::optional<std::string> path = selfBundle_->pathForResource("TarnwickStartup", "app");
    if (!path) {
        NSLog(
            "Tarnwick: TarnwickStartup.app is missing from the pane's resources; login items left "
            "unchanged\n");
        return false;
    }
    // 4. Only the first entry with this path.
    bool hide = false;
    for (auto item = items.begin(); item != items.end(); ++item) {
        const cf::Dictionary* entry = item->dictionary();
        const cf::Value* entryPath = entry != nullptr ? entry->get(kPathKey) : nullptr;
        if (entryPath != nullptr && entryPath->string() != nullptr &&
            *entryPath->string() == *path) {
            hide = cf::boolValue(entry->get(kHideKey));
            items.erase(item);
            break;
        }
    }
    // 5.
    if (addItem) {
        cf::Dictionary entry;
        entry.set(kPathKey, *path);
        entry.set(kHideKey, hide);
        items.push_back(std::move(entry));
    }
    // 6. Every other key of the domain is kept; written even when unchanged.
    cf::Dictionary newDomain = domain.value_or(cf::Dictionary());
    newDomain.set(kAutoLaunchedApplicationsKey, std::move(items));
    defaults.setPersistentDomain(newDomain, kLoginWindowDomain);
    return true;
}

void NameHalvornOddnyTarnwickPref::registerHelpBook() {
    std::shared_ptr<NSBundle> bundle = CFBundleGetBundleWithIdentifier(kPaneBundleIdentifier);
    if (!bundle) return;
    const std::optional<std::string> url = CFBundleCopyBundleURL(bundle);
    if (!url) return;
    FSRef ref;
    if (!CFURLGetFSRef(*url, &ref)) return;
    AHRegisterHelpBook(&ref);
}

void NameHalvornOddnyTarnwickPref::helpButtonClicked(const void*) {
    AHGotoPage(std::string(kHelpBookName), std::nullopt, std::nullopt);
}
