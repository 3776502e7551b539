// NSBundle and the Core Foundation bundle calls: bundle folders, their
// Info.plist, resources and localized strings.
//
// Every bundle opened in the process is kept in one registry, here in the
// shared host library, so a program and the module it loads (prefhost and the
// pane) find each other's bundles by identifier.
#include <dlfcn.h>

#include <cstdlib>
#include <filesystem>
#include <system_error>
#include <vector>

#include "host/Foundation.h"
#include "host/Log.h"
#include "host/OwnProcess.h"
#include "host/RegularFile.h"

namespace fs = std::filesystem;

namespace {

std::mutex& registryMutex() {
    static std::mutex m;
    return m;
}

std::vector<std::shared_ptr<NSBundle>>& registry() {
    static std::vector<std::shared_ptr<NSBundle>> bundles;
    return bundles;
}

// Absolute and without "." / ".." or a trailing slash; symbolic links are
// kept, so a bundle reached through a link keeps the path it was opened by.
fs::path normalized(const fs::path& path) {
    std::error_code ec;
    fs::path p = fs::absolute(path, ec);
    if (ec) p = path;
    p = p.lexically_normal();
    if (!p.has_filename() && p.has_parent_path() && p != p.root_path()) p = p.parent_path();
    return p;
}

// The bundle folder of an executable lying in <bundle>/Contents/MacOS/.
std::optional<fs::path> bundleFolderOfExecutable(const fs::path& executable) {
    const fs::path p = normalized(executable);
    const fs::path macos = p.parent_path();
    const fs::path contents = macos.parent_path();
    if (macos.filename() != "MacOS" || contents.filename() != "Contents" ||
        !contents.has_parent_path())
        return std::nullopt;
    return contents.parent_path();
}

// The running program as the kernel resolved it, then as it was started
// (argv[0]); the second keeps a bundle whose executable is a link.
std::vector<fs::path> ownExecutablePaths() {
    std::vector<fs::path> paths;
    if (const std::optional<std::string>& exe = host::ownExecutablePath()) paths.emplace_back(*exe);
    const std::vector<std::string> words = host::ownCommandLine();
    if (!words.empty() && words.front().find('/') != std::string::npos)
        paths.emplace_back(words.front());
    return paths;
}

// Languages to look in, in order: the user's language (from the locale
// variables), then English under both of its folder names.
std::vector<std::string> localizationFolders() {
    std::vector<std::string> folders;
    for (const char* var : {"LANGUAGE", "LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char* v = std::getenv(var);
        if (!v || !*v) continue;
        std::string lang(v);
        lang = lang.substr(0, lang.find_first_of(":_.@"));
        if (!lang.empty() && lang != "C" && lang != "POSIX" && lang != "en")
            folders.push_back(lang + ".lproj");
        break;
    }
    folders.emplace_back("English.lproj");
    folders.emplace_back("en.lproj");
    return folders;
}

bool isUnescapedURLChar(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
           std::string_view("-._~/!$&'()*+,;=:@").find(static_cast<char>(c)) !=
               std::string_view::npos;
}

std::optional<std::string> percentDecode(std::string_view s) {
    std::string out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '%') {
            out += s[i];
            continue;
        }
        if (i + 2 >= s.size()) return std::nullopt;
        unsigned v = 0;
        for (std::size_t k = 1; k <= 2; ++k) {
            const char c = s[i + k];
            v *= 16;
            if (c >= '0' && c <= '9')
                v += static_cast<unsigned>(c - '0');
            else if (c >= 'a' && c <= 'f')
                v += static_cast<unsigned>(c - 'a' + 10);
            else if (c >= 'A' && c <= 'F')
                v += static_cast<unsigned>(c - 'A' + 10);
            else
                return std::nullopt;
        }
        if (v == 0) return std::nullopt;
        out += static_cast<char>(v);
        i += 2;
    }
    return out;
}

}  // namespace

NSBundle::NSBundle(std::string path, cf::Dictionary info)
    : path_(std::move(path)), info_(std::move(info)) {}

std::shared_ptr<NSBundle> NSBundle::bundleWithPath(const std::string& path) {
    if (path.empty()) return nullptr;
    const fs::path folder = normalized(path);
    std::error_code ec;
    if (!fs::is_directory(folder / "Contents", ec)) return nullptr;

    std::lock_guard lock(registryMutex());
    for (const auto& bundle : registry())
        if (bundle->bundlePath() == folder.string()) return bundle;

    cf::Dictionary info;
    const fs::path infoPath = folder / "Contents" / "Info.plist";
    if (fs::exists(infoPath, ec)) {
        std::string error;
        auto value = cf::readPropertyListFile(infoPath.string(), &error);
        if (value && value->dictionary())
            info = *value->dictionary();
        else
            NSLog("Bundle %s: Info.plist cannot be used: %s\n", folder.c_str(),
                  value ? "it is not a dictionary" : error.c_str());
    }
    auto bundle = std::make_shared<NSBundle>(folder.string(), std::move(info));
    registry().push_back(bundle);
    return bundle;
}

std::shared_ptr<NSBundle> NSBundle::mainBundle() {
    for (const fs::path& exe : ownExecutablePaths())
        if (auto folder = bundleFolderOfExecutable(exe))
            if (auto bundle = bundleWithPath(folder->string())) return bundle;
    return nullptr;
}

std::shared_ptr<NSBundle> NSBundle::bundleForAddress(const void* address) {
    Dl_info info{};
    if (!address || dladdr(address, &info) == 0 || !info.dli_fname || !*info.dli_fname)
        return nullptr;
    const fs::path module = info.dli_fname;
    if (auto folder = bundleFolderOfExecutable(module))
        if (auto bundle = bundleWithPath(folder->string())) return bundle;
    // An address in the program itself: dladdr may name it by a path that
    // is not the bundle's (how it was started), so ask as mainBundle does.
    std::error_code ec1, ec2;
    const auto self = fs::canonical("/proc/self/exe", ec1);
    if (!ec1 && fs::canonical(module, ec2) == self && !ec2) return mainBundle();
    return nullptr;
}

std::shared_ptr<NSBundle> NSBundle::bundleWithIdentifier(const std::string& identifier) {
    {
        std::lock_guard lock(registryMutex());
        for (const auto& bundle : registry())
            if (bundle->bundleIdentifier() == identifier) return bundle;
    }
    if (auto main = mainBundle(); main && main->bundleIdentifier() == identifier) return main;
    return nullptr;
}

std::optional<std::string> NSBundle::bundleIdentifier() const {
    if (const cf::Value* v = info_.get("CFBundleIdentifier"))
        if (const std::string* s = v->string()) return *s;
    return std::nullopt;
}

std::string NSBundle::resourcePath() const {
    return (fs::path(path_) / "Contents" / "Resources").string();
}

std::string NSBundle::executablePath() const {
    std::string name = fs::path(path_).stem().string();
    if (const cf::Value* v = info_.get("CFBundleExecutable"))
        if (const std::string* s = v->string(); s && !s->empty()) name = *s;
    return (fs::path(path_) / "Contents" / "MacOS" / name).string();
}

std::optional<std::string> NSBundle::pathForResource(const std::string& name,
                                                     const std::string& type) const {
    if (name.empty()) return std::nullopt;
    const std::string file = type.empty() ? name : name + "." + type;
    const fs::path resources = resourcePath();
    std::vector<fs::path> candidates{resources / file};
    for (const std::string& folder : localizationFolders())
        candidates.push_back(resources / folder / file);
    std::error_code ec;
    for (const fs::path& candidate : candidates)
        if (fs::exists(candidate, ec)) return candidate.lexically_normal().string();
    return std::nullopt;
}

const cf::Dictionary* NSBundle::stringsTable(const std::string& tableName) const {
    std::lock_guard lock(tablesMutex_);
    if (auto it = tables_.find(tableName); it != tables_.end())
        return it->second ? &*it->second : nullptr;

    // Entries of the user's language first, then English ones it lacks.
    std::optional<cf::Dictionary> merged;
    for (const std::string& folder : localizationFolders()) {
        const fs::path file = fs::path(resourcePath()) / folder / (tableName + ".strings");
        std::string error;
        bool absent = false;
        auto bytes =
            host::readRegularFile(file, host::Links::Follow, kStringsFileBytes, &error, &absent);
        if (!bytes) {
            if (!absent) NSLog("Bundle %s: %s\n", path_.c_str(), error.c_str());
            continue;
        }
        auto table = host::parseStringsFile(*bytes, &error);
        if (!table) {
            NSLog("Bundle %s: %s cannot be read: %s\n", path_.c_str(), file.c_str(), error.c_str());
            continue;
        }
        if (!merged) {
            merged = std::move(*table);
            continue;
        }
        for (const auto& [key, value] : table->items())
            if (!merged->contains(key)) merged->set(key, value);
    }
    auto& slot = tables_[tableName];
    slot = std::move(merged);
    return slot ? &*slot : nullptr;
}

std::string NSBundle::localizedStringForKey(const std::string& key, const std::string& value,
                                            const std::optional<std::string>& table) const {
    const std::string tableName = table && !table->empty() ? *table : "Localizable";
    if (const cf::Dictionary* strings = stringsTable(tableName))
        if (const cf::Value* v = strings->get(key))
            if (const std::string* s = v->string()) return *s;
    return value.empty() ? key : value;
}

std::shared_ptr<NSBundle> CFBundleGetBundleWithIdentifier(const std::string& identifier) {
    return NSBundle::bundleWithIdentifier(identifier);
}

std::optional<std::string> CFBundleCopyBundleURL(const std::shared_ptr<NSBundle>& bundle) {
    if (!bundle) return std::nullopt;
    std::string url = "file://";
    static constexpr char hex[] = "0123456789ABCDEF";
    for (const char ch : bundle->bundlePath()) {
        const auto c = static_cast<unsigned char>(ch);
        if (isUnescapedURLChar(c)) {
            url += ch;
        } else {
            url += '%';
            url += hex[c >> 4];
            url += hex[c & 0xF];
        }
    }
    // A folder's URL ends with a slash.
    if (url.back() != '/') url += '/';
    return url;
}

bool CFURLGetFSRef(const std::string& url, FSRef* ref) {
    if (!ref) return false;
    std::string path;
    constexpr std::string_view scheme = "file://";
    if (url.compare(0, scheme.size(), scheme) == 0) {
        std::string_view rest = std::string_view(url).substr(scheme.size());
        if (rest.substr(0, 9) == "localhost") rest.remove_prefix(9);
        auto decoded = percentDecode(rest);
        if (!decoded) return false;
        path = std::move(*decoded);
    } else {
        path = url;
    }
    if (path.empty() || path.front() != '/') return false;
    std::error_code ec;
    if (!fs::exists(path, ec)) return false;
    ref->path = normalized(path).string();
    return true;
}
