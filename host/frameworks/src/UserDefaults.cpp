// NSUserDefaults: persistent domains as XML property lists in
// Library/Preferences/<domain>.plist, read fresh from the file every time so
// that the pane and the startup tool always see each other's last write.
#include <fcntl.h>
#include <stdio.h>  // NOLINT(modernize-deprecated-headers): renameat2 is not in <cstdio>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <system_error>

#include "host/Foundation.h"
#include "host/Log.h"
#include "host/RegularFile.h"
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

// A domain file is read only when it is a regular file: one that is a
// FIFO, a device, a folder or a link is unreadable (and never waited on).
DomainFile readDomainFile(const std::filesystem::path& path) {
    DomainFile result;
    std::string error;
    bool absent = false;
    const std::optional<std::string> bytes =
        host::readRegularFile(path, host::Links::Refuse, &error, &absent);
    if (absent) return result;
    std::optional<cf::Value> value;
    if (bytes) {
        std::string why;
        value = cf::parsePropertyList(*bytes, &why);
        if (!value) error = path.string() + ": " + why;
    }
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
// never overwrites an existing file; it links a symbolic link itself, not
// what it names.
bool keepUnreadableFile(const std::filesystem::path& path, std::string* keptAs) {
    for (int n = 0; n < 1000; ++n) {
        std::filesystem::path target = path;
        target += n == 0 ? std::string(".corrupt") : ".corrupt." + std::to_string(n);
        if (::linkat(AT_FDCWD, path.c_str(), AT_FDCWD, target.c_str(), 0) == 0) {
            *keptAs = target.string();
            return true;
        }
        if (errno == EEXIST) continue;
        // No hard link possible (a folder, a file system without them): a
        // regular file is copied, anything else moved aside.
        struct stat st {};
        if (::lstat(path.c_str(), &st) != 0) return false;
        bool kept = false, nameTaken = false;
        if (S_ISREG(st.st_mode)) {
            std::error_code ec;
            kept =
                std::filesystem::copy_file(path, target, std::filesystem::copy_options::none, ec);
            nameTaken = ec == std::errc::file_exists;
        } else {
            kept = ::renameat2(AT_FDCWD, path.c_str(), AT_FDCWD, target.c_str(),
                               RENAME_NOREPLACE) == 0;
            nameTaken = !kept && errno == EEXIST;
        }
        if (kept) {
            *keptAs = target.string();
            return true;
        }
        if (nameTaken) continue;
        return false;
    }
    return false;
}

// The file of a domain about to be replaced or removed, with a file there
// that cannot be read kept aside first; nothing, with a log line that says
// the domain was not `changed` ("written", "removed"), when the name is not
// usable or the file cannot be kept. Called under the defaults' mutex.
std::optional<std::filesystem::path> replaceableDomainFile(const std::string& domainName,
                                                           const char* changed) {
    if (!isUsableDomainName(domainName)) {
        NSLog("User defaults: \"%s\" is not a usable domain name; nothing %s\n", domainName.c_str(),
              changed);
        return std::nullopt;
    }
    auto path = domainPath(domainName);
    if (readDomainFile(path).state == FileState::Unreadable) {
        std::string keptAs;
        if (!keepUnreadableFile(path, &keptAs)) {
            NSLog("User defaults: cannot keep the unreadable file %s aside; domain %s not %s\n",
                  path.c_str(), domainName.c_str(), changed);
            return std::nullopt;
        }
        NSLog("User defaults: the unreadable file of domain %s is kept as %s\n", domainName.c_str(),
              keptAs.c_str());
    }
    return path;
}

}  // namespace

NSUserDefaults& NSUserDefaults::standardUserDefaults() {
    static NSUserDefaults defaults;
    return defaults;
}

std::optional<cf::Dictionary> NSUserDefaults::persistentDomainForName(
    const std::string& domainName) {
    return persistentDomainForName(domainName, nullptr);
}

std::optional<cf::Dictionary> NSUserDefaults::persistentDomainForName(const std::string& domainName,
                                                                      bool* unreadable) {
    if (unreadable != nullptr) *unreadable = false;
    if (!isUsableDomainName(domainName)) return std::nullopt;
    std::lock_guard lock(defaultsMutex());
    DomainFile file = readDomainFile(domainPath(domainName));
    switch (file.state) {
    case FileState::Absent: return std::nullopt;
    case FileState::Unreadable:
        NSLog("User defaults: domain %s cannot be read (%s); it reads as no domain\n",
              domainName.c_str(), file.problem.c_str());
        if (unreadable != nullptr) *unreadable = true;
        return std::nullopt;
    case FileState::Dictionary: break;
    }
    return std::move(file.domain);
}

void NSUserDefaults::setPersistentDomain(const cf::Dictionary& domain,
                                         const std::string& domainName) {
    std::lock_guard lock(defaultsMutex());
    const std::optional<std::filesystem::path> path = replaceableDomainFile(domainName, "written");
    std::string error;
    if (!path) {
        writeFailed_ = true;
    } else if (!cf::writePropertyListFileAtomically(path->string(), domain, &error)) {
        NSLog("User defaults: domain %s not written: %s\n", domainName.c_str(), error.c_str());
        writeFailed_ = true;
    }
}

void NSUserDefaults::removePersistentDomainForName(const std::string& domainName) {
    std::lock_guard lock(defaultsMutex());
    const std::optional<std::filesystem::path> path = replaceableDomainFile(domainName, "removed");
    if (!path) {
        writeFailed_ = true;
        return;
    }
    // What was kept aside by moving it is gone already.
    if (::unlink(path->c_str()) == 0 || errno == ENOENT) return;
    NSLog("User defaults: domain %s not removed: %s\n", domainName.c_str(), std::strerror(errno));
    writeFailed_ = true;
}

bool NSUserDefaults::synchronize() {
    std::lock_guard lock(defaultsMutex());
    const bool written = !writeFailed_;
    writeFailed_ = false;
    std::error_code ec;
    const auto dir = host::preferencesDir();
    std::filesystem::create_directories(dir, ec);
    if (ec) return false;
    return written && std::filesystem::is_directory(dir, ec) && ::access(dir.c_str(), W_OK) == 0;
}

namespace host {

PersistentDomainLock::PersistentDomainLock(const std::string& domainName) {
    if (isUsableDomainName(domainName)) lock_.emplace(domainPath(domainName));
}

std::string PersistentDomainLock::error() const {
    return lock_ ? lock_->error() : std::string("not a usable domain name");
}

}  // namespace host
