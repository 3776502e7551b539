// Foundation stand-in: user defaults and bundles.
#pragma once

#include <cstddef>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "host/CoreFoundation.h"
#include "host/FileLock.h"

// The most a persistent domain's file may hold: the settings of a few
// dozen cards take a few KiB. A larger file reads as unreadable, unread.
inline constexpr std::size_t kPersistentDomainBytes = std::size_t{4} << 20;
// The most a bundle's Info.plist (cf::kPropertyListFileBytes) or .strings
// table may hold.
inline constexpr std::size_t kStringsFileBytes = std::size_t{1} << 20;

// The current user's defaults: one XML property list per persistent domain,
// <root>/Library/Preferences/<domain>.plist.
class NSUserDefaults {
public:
    static NSUserDefaults& standardUserDefaults();

    // The whole domain, or nothing when it does not exist. A file that does
    // not parse (or is not a dictionary, or is not a regular file at all, or
    // holds more than kPersistentDomainBytes) reads as nothing, with a log
    // line.
    std::optional<cf::Dictionary> persistentDomainForName(const std::string& domainName);
    // The same; `unreadable` tells a domain whose file is there but cannot be
    // read from one that does not exist.
    std::optional<cf::Dictionary> persistentDomainForName(const std::string& domainName,
                                                          bool* unreadable);
    // Replaces the whole domain, written atomically at once. A file that could
    // not be read is first kept beside it as <domain>.plist.corrupt. A write
    // that fails is logged and remembered for synchronize.
    void setPersistentDomain(const cf::Dictionary& domain, const std::string& domainName);
    // Removes the whole domain (its file). A file that could not be read is
    // kept as <domain>.plist.corrupt instead. A removal that fails is logged
    // and remembered for synchronize.
    void removePersistentDomainForName(const std::string& domainName);
    // Everything is written when it is set; true when no write failed since
    // the last synchronize and the preferences folder is usable.
    bool synchronize();

private:
    bool writeFailed_ = false;  // guarded by the defaults' mutex
};

// A bundle folder (X.app, X.prefPane): Contents/Info.plist, Contents/MacOS,
// Contents/Resources.
class NSBundle {
public:
    // The bundle at this folder, or nullptr when it is not one (no Contents).
    // Opening a bundle makes it known to bundleWithIdentifier.
    static std::shared_ptr<NSBundle> bundleWithPath(const std::string& path);
    // The bundle that holds the running program (its executable lies in
    // Contents/MacOS), or nullptr.
    static std::shared_ptr<NSBundle> mainBundle();
    // The bundle whose executable or loadable module contains this address
    // (the stand-in for bundleForClass:), or nullptr.
    static std::shared_ptr<NSBundle> bundleForAddress(const void* address);
    // A bundle already opened in this process (or the main bundle) with this
    // identifier, or nullptr.
    static std::shared_ptr<NSBundle> bundleWithIdentifier(const std::string& identifier);

    const std::string& bundlePath() const { return path_; }
    std::optional<std::string> bundleIdentifier() const;
    const cf::Dictionary& infoDictionary() const { return info_; }
    std::string resourcePath() const;    // Contents/Resources
    std::string executablePath() const;  // Contents/MacOS/<CFBundleExecutable>
    // Full path of Resources/<name>.<type> (or of <lang>.lproj/<name>.<type>
    // for the development language), or nothing when it does not exist.
    std::optional<std::string> pathForResource(const std::string& name,
                                               const std::string& type) const;
    // The text for `key` in <lang>.lproj/<table or Localizable>.strings,
    // English first; `value` when no table has the key (or the key itself
    // when `value` is empty).
    std::string localizedStringForKey(const std::string& key, const std::string& value,
                                      const std::optional<std::string>& table = std::nullopt) const;

    explicit NSBundle(std::string path, cf::Dictionary info);

private:
    const cf::Dictionary* stringsTable(const std::string& tableName) const;

    std::string path_;
    cf::Dictionary info_;
    // Parsed string tables by table name; nothing when the bundle has none.
    mutable std::mutex tablesMutex_;
    mutable std::map<std::string, std::optional<cf::Dictionary>> tables_;
};

// Core Foundation's bundle and URL calls, over the same bundles as NSBundle.
using CFBundleRef = std::shared_ptr<NSBundle>;
// A bundle opened in this process, or the main bundle, with this identifier.
std::shared_ptr<NSBundle> CFBundleGetBundleWithIdentifier(const std::string& identifier);
// The bundle folder as a file URL ("file:///path/X.prefPane/", with
// percent-escapes as CFURL writes them), or nothing for no bundle.
std::optional<std::string> CFBundleCopyBundleURL(const std::shared_ptr<NSBundle>& bundle);
// A reference to an existing file-system object.
struct FSRef {
    std::string path;
};
// Fills `ref` from a file URL (or a plain absolute path) naming an existing
// file or folder; false otherwise.
bool CFURLGetFSRef(const std::string& url, FSRef* ref);

namespace host {
// Orders the programs that read a persistent domain, decide and write it
// back: an exclusive lock beside the domain's file (FileLock), held for the
// object's life, across processes. Reading and writing do not take it; a
// program takes it around a read and the write that depends on it.
class PersistentDomainLock {
public:
    explicit PersistentDomainLock(const std::string& domainName);
    bool locked() const { return lock_ && lock_->locked(); }
    // Why the lock could not be taken.
    std::string error() const;

private:
    std::optional<FileLock> lock_;
};

// Parses the Apple .strings format ("KEY" = "value"; with /* */ and //
// comments and \" \\ \n \t \Uxxxx escapes), UTF-8 or UTF-16 (with byte order
// mark). Nothing when the text is malformed.
std::optional<cf::Dictionary> parseStringsFile(std::string_view bytes, std::string* error);
}  // namespace host
