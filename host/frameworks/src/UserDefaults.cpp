// NSUserDefaults: persistent domains as XML property lists in
// Library/Preferences/<domain>.plist, read fresh from the file every time so
// that the pane and the startup tool always see each other's last write.
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <system_error>

#include "host/Foundation.h"
#include "host/Log.h"
#include "host/SimMac.h"

namespace {

std::mutex& defaultsMutex() {
    static std::mutex m;
    return m;
}

// A domain name becomes a file name; one that could leave the preferences
// folder is refused.
bool isUsableDomainName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
           name.find('\0') == std::string::npos;
}

std::filesystem::path domainPath(const std::string& domainName) {
    return host::preferencesDir() / (domainName + ".plist");
}

enum class FileState { Absent, Dictionary, Unreadable };

struct DomainFile {
    FileState state = FileState::Absent;
    cf::Dictionary domain;
    std::string problem;
};

DomainFile readDomainFile(const std::filesystem::path& path) {
    DomainFile result;
    std::error_code ec;
    if (!std::filesystem::exists(path, ec) && !ec) return result;
    std::string error;
    auto value = cf::readPropertyListFile(path.string(), &error);
    if (!value) {
        result.state = FileState::Unreadable;
        result.problem = error;
        return result;
    }
    const cf::Dictionary* dict = value->dictionary();
    if (!dict) {
        result.state = FileState::Unreadable;
        result.problem = path.string() + ": the property list is not a dictionary";
        return result;
    }
    result.state = FileState::Dictionary;
    result.domain = std::move(*value->dictionary());
    return result;
}

// Keeps a domain file that cannot be read under a name of its own before it
// gets replaced: <domain>.plist.corrupt, or .corrupt.1, .corrupt.2 ... when an
// earlier one is still there. A hard link keeps the bytes without copying and
// never overwrites an existing file.
bool keepUnreadableFile(const std::filesystem::path& path, std::string* keptAs) {
    for (int n = 0; n < 1000; ++n) {
        std::filesystem::path target = path;
        target += n == 0 ? std::string(".corrupt") : ".corrupt." + std::to_string(n);
        if (::link(path.c_str(), target.c_str()) == 0) {
            *keptAs = target.string();
            return true;
        }
        if (errno == EEXIST) continue;
        // No hard links on this file system: copy instead.
        std::error_code ec;
        if (std::filesystem::exists(target, ec)) continue;
        if (std::filesystem::copy_file(path, target, std::filesystem::copy_options::none, ec)) {
            *keptAs = target.string();
            return true;
        }
        return false;
    }
    return false;
}

}  // namespace

NSUserDefaults& NSUserDefaults::standardUserDefaults() {
    static NSUserDefaults defaults;
    return defaults;
}

std::optional<cf::Dictionary> NSUserDefaults::persistentDomainForName(
    const std::string& domainName) {
    if (!isUsableDomainName(domainName)) return std::nullopt;
    std::lock_guard lock(defaultsMutex());
    DomainFile file = readDomainFile(domainPath(domainName));
    switch (file.state) {
    case FileState::Absent: return std::nullopt;
    case FileState::Unreadable:
        NSLog("User defaults: domain %s cannot be read (%s); it reads as no domain\n",
              domainName.c_str(), file.problem.c_str());
        return std::nullopt;
    case FileState::Dictionary: break;
    }
    return std::move(file.domain);
}

void NSUserDefaults::setPersistentDomain(const cf::Dictionary& domain,
                                         const std::string& domainName) {
    if (!isUsableDomainName(domainName)) {
        NSLog("User defaults: \"%s\" is not a usable domain name; nothing written\n",
              domainName.c_str());
        return;
    }
    std::lock_guard lock(defaultsMutex());
    const auto path = domainPath(domainName);
    if (readDomainFile(path).state == FileState::Unreadable) {
        std::string keptAs;
        if (!keepUnreadableFile(path, &keptAs)) {
            NSLog(
                "User defaults: cannot keep the unreadable file %s aside; domain %s not written\n",
                path.c_str(), domainName.c_str());
            return;
        }
        NSLog("User defaults: the unreadable file of domain %s is kept as %s\n", domainName.c_str(),
              keptAs.c_str());
    }
    std::string error;
    if (!cf::writePropertyListFileAtomically(path.string(), domain, &error))
        NSLog("User defaults: domain %s not written: %s\n", domainName.c_str(), error.c_str());
}

bool NSUserDefaults::synchronize() {
    std::error_code ec;
    const auto dir = host::preferencesDir();
    std::filesystem::create_directories(dir, ec);
    if (ec) return false;
    return std::filesystem::is_directory(dir, ec) && ::access(dir.c_str(), W_OK) == 0;
}
