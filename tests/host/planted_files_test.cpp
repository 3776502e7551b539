// Something else where a program reads or writes one of its files: a FIFO,
// a folder, a link to a device or a link out of the simulated Mac. Nothing
// may block, nothing outside may be written, and what was there is kept.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <functional>

#include "host/Foundation.h"
#include "host/Machine.h"
#include "host/MachineControl.h"
#include "host/MachineInterface.h"
#include "host/PowerClients.h"
#include "host/SimMac.h"
#include "support/Child.h"
#include "support/IOKitCalls.h"
#include "support/SimMacFixture.h"

using namespace testsupport;
namespace fs = std::filesystem;

namespace {

const std::string kDomain = "name.test.Planted";

enum class Plant { FIFO, Folder, DeviceLink, OutsideLink };

const char* plantName(Plant plant) {
    switch (plant) {
    case Plant::FIFO: return "FIFO";
    case Plant::Folder: return "folder";
    case Plant::DeviceLink: return "link to /dev/null";
    case Plant::OutsideLink: return "link out of the simulated Mac";
    }
    return "";
}

// What stat() shows at the path: the planted thing itself, not what it names.
mode_t kindAt(const fs::path& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 ? (st.st_mode & S_IFMT) : 0;
}

mode_t plantedKind(Plant plant) {
    switch (plant) {
    case Plant::FIFO: return S_IFIFO;
    case Plant::Folder: return S_IFDIR;
    default: return S_IFLNK;
    }
}

void plantAt(const fs::path& path, Plant plant, const fs::path& outsideFile) {
    fs::create_directories(path.parent_path());
    fs::remove_all(path);
    switch (plant) {
    case Plant::FIFO: ASSERT_EQ(::mkfifo(path.c_str(), 0644), 0); break;
    case Plant::Folder: writeFile(path / "inside", "kept"); break;
    case Plant::DeviceLink: fs::create_symlink("/dev/null", path); break;
    case Plant::OutsideLink: fs::create_symlink(outsideFile, path); break;
    }
}

// Runs `action` in a child process and gives back what it returned: "hung"
// when it has not finished after ten seconds (an open that waits for a FIFO's
// other end waits for good), "died" when it ended otherwise.
std::string inChild(const std::function<std::string()>& action) {
    int fds[2];
    if (::pipe(fds) != 0) return "no pipe";
    const pid_t pid = forkChild([&] {
        ::close(fds[0]);
        ::alarm(10);
        const std::string result = action();
        if (::write(fds[1], result.data(), result.size()) != static_cast<ssize_t>(result.size()))
            ::_exit(1);
    });
    ::close(fds[1]);
    std::string out;
    char buffer[4096];
    for (ssize_t n; (n = ::read(fds[0], buffer, sizeof buffer)) > 0;)
        out.append(buffer, static_cast<std::size_t>(n));
    ::close(fds[0]);
    const int status = waitFor(pid);
    return status == 128 + SIGALRM ? "hung" : status != 0 ? "died" : out;
}

fs::path bundleFolder() { return host::simmacRoot() / "Planted.bundle"; }
fs::path domainFile() { return host::preferencesDir() / (kDomain + ".plist"); }
fs::path lockFile() { return host::simmacRoot() / "machine.plist.lock"; }

std::string refusedWithLog() { return "refused: " + readFile(host::systemLogPath()); }

IOReturn sendARead() {
    const std::vector<io_object_t> drivers = matching(kDriverName);
    return drivers.empty() ? kIOReturnNoDevice : send(drivers[0], 0, 0);
}

// A simulated Mac with one card, and a checkpoint with its mark, so that a
// reader goes on into the journal.
void prepare(const TempSimMac& mac) {
    mac.writeMachine(
        machine({cardEntry("ATY,R350", 0x1002, driverEntry("ATI", {{"PLL", 0x00A9970C}}))}));
    std::string error;
    ASSERT_TRUE(host::checkpointMachine(&error)) << error;
}

class PlantedFiles : public ::testing::Test {
protected:
    // A file outside the simulated Mac that every link points to.
    fs::path outsideFile(const std::string& bytes) const {
        const fs::path path = outside.root() / "outside";
        writeFile(path, bytes);
        return path;
    }

    TempSimMac outside;
};

// Every reader takes only a regular file. A bundle's files are followed
// through links (a bundle may be assembled from them); the simulated Mac's
// own files never are, since the host only ever replaces them by rename.
TEST_F(PlantedFiles, ReadersRefuseWhatIsNotARegularFileAndNeverWait) {
    struct Reader {
        const char* name;
        fs::path (*file)();
        std::string validBytes;  // what the link out points to
        bool followsLinks;
        std::function<std::string()> read;  // "read" or "refused: <why>"
    };
    const cf::Dictionary outsideInfo = with({}, "CFBundleIdentifier", std::string("outside"));
    const std::string machineBytes = cf::toXMLPropertyList(machine({}));
    const Reader readers[] = {
        {"domain", domainFile, cf::toXMLPropertyList(outsideInfo), false,
         [] {
             return NSUserDefaults::standardUserDefaults().persistentDomainForName(kDomain)
                        ? std::string("read")
                        : refusedWithLog();
         }},
        {"machine.plist", host::machinePlistPath, machineBytes, false,
         [] {
             std::string error;
             return host::currentMachine(&error) ? "read" : "refused: " + error;
         }},
        {"driver.jsonl", host::driverLogPath, "", false,
         [] {
             std::string error;
             return host::currentMachine(&error) ? "read" : "refused: " + error;
         }},
        {".strings table",
         [] { return bundleFolder() / "Contents/Resources/English.lproj/Localizable.strings"; },
         "\"KEY\" = \"outside\";\n", true,
         [] {
             const NSBundle bundle(bundleFolder().string(), {});
             return bundle.localizedStringForKey("KEY", "fallback") == "outside"
                        ? std::string("read")
                        : refusedWithLog();
         }},
        {"Info.plist", [] { return bundleFolder() / "Contents/Info.plist"; },
         cf::toXMLPropertyList(outsideInfo), true,
         [] {
             const auto bundle = NSBundle::bundleWithPath(bundleFolder().string());
             return bundle && bundle->bundleIdentifier() ? std::string("read") : refusedWithLog();
         }},
    };
    for (const Reader& reader : readers) {
        for (Plant plant : {Plant::FIFO, Plant::Folder, Plant::DeviceLink, Plant::OutsideLink}) {
            SCOPED_TRACE(std::string(reader.name) + " is a " + plantName(plant));
            TempSimMac mac;
            prepare(mac);
            const fs::path path = reader.file();
            plantAt(path, plant, outsideFile(reader.validBytes));

            const std::string outcome = inChild(reader.read);
            const bool followed = reader.followsLinks && plant == Plant::OutsideLink;
            if (followed) {
                EXPECT_EQ(outcome, "read");
            } else {
                const char* kind = plant == Plant::FIFO     ? "a FIFO"
                                   : plant == Plant::Folder ? "a folder"
                                   : reader.followsLinks    ? "a device"
                                                            : "a symbolic link";
                EXPECT_EQ(outcome.rfind("refused: ", 0), 0u) << outcome;
                EXPECT_CONTAINS(outcome, path.string() + ": not a regular file (" + kind + ")");
            }
            EXPECT_EQ(kindAt(path), plantedKind(plant)) << "what was there is left as it was";
        }
    }
}

// A writer never writes through a link or into anything but a regular file.
// An append (the journal, the lock) is refused; a file replaced by rename
// (a domain, the machine) replaces the link or FIFO itself, and a domain
// keeps what it replaces beside it.
TEST_F(PlantedFiles, WritersNeverFollowALinkAndReplaceOnlyByRename) {
    enum class Outcome { Refused, Replaced, KeptAndReplaced };
    struct Writer {
        const char* name;
        fs::path (*file)();
        std::function<std::string()> write;  // "written" or "refused: <why>"
    };
    const Writer journal{
        "driver.jsonl", host::driverLogPath,
        [] { return sendARead() == kIOReturnSuccess ? std::string("written") : refusedWithLog(); }};
    // The append itself, past the reader that refuses such a journal first.
    const Writer append{"driver.jsonl appended to", host::driverLogPath, [] {
                            std::string error;
                            host::DriverLogRecord record;
                            record.seq = 1;
                            return host::appendDriverLogLine(host::driverLogPath(), record, &error)
                                       ? "written"
                                       : "refused: " + error;
                        }};
    const Writer lock{
        "machine.plist.lock", lockFile,
        [] { return sendARead() == kIOReturnSuccess ? std::string("written") : refusedWithLog(); }};
    const Writer domain{"domain", domainFile, [] {
                            NSUserDefaults& defaults = NSUserDefaults::standardUserDefaults();
                            defaults.setPersistentDomain(with({}, "New", true), kDomain);
                            return defaults.synchronize() ? std::string("written")
                                                          : refusedWithLog();
                        }};
    const Writer machine{"machine.plist", host::machinePlistPath, [] {
                             std::string error;
                             return host::replaceMachine(host::defaultMachine(), &error)
                                        ? "written"
                                        : "refused: " + error;
                         }};
    const struct {
        const Writer& writer;
        Plant plant;
        Outcome outcome;
    } cases[] = {
        {journal, Plant::OutsideLink, Outcome::Refused},
        {journal, Plant::FIFO, Outcome::Refused},
        {journal, Plant::DeviceLink, Outcome::Refused},
        {append, Plant::OutsideLink, Outcome::Refused},
        {append, Plant::FIFO, Outcome::Refused},
        {append, Plant::Folder, Outcome::Refused},
        {lock, Plant::OutsideLink, Outcome::Refused},
        {lock, Plant::FIFO, Outcome::Refused},
        {lock, Plant::Folder, Outcome::Refused},
        {domain, Plant::OutsideLink, Outcome::KeptAndReplaced},
        {domain, Plant::FIFO, Outcome::KeptAndReplaced},
        {domain, Plant::Folder, Outcome::KeptAndReplaced},
        {domain, Plant::DeviceLink, Outcome::KeptAndReplaced},
        {machine, Plant::OutsideLink, Outcome::Replaced},
        {machine, Plant::FIFO, Outcome::Replaced},
        {machine, Plant::Folder, Outcome::Refused},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.writer.name) + " is a " + plantName(c.plant));
        TempSimMac mac;
        prepare(mac);
        const fs::path path = c.writer.file();
        const fs::path outsidePath = outsideFile("outside\n");
        plantAt(path, c.plant, outsidePath);

        const std::string outcome = inChild(c.writer.write);
        EXPECT_EQ(readFile(outsidePath), "outside\n");
        fs::path corrupt = path;
        corrupt += ".corrupt";
        switch (c.outcome) {
        case Outcome::Refused:
            EXPECT_EQ(outcome.rfind("refused: ", 0), 0u) << outcome;
            EXPECT_NE(outcome.find(path.string() + ": not a regular file ("), std::string::npos)
                << outcome;
            EXPECT_EQ(kindAt(path), plantedKind(c.plant));
            break;
        case Outcome::KeptAndReplaced:
            EXPECT_EQ(kindAt(corrupt), plantedKind(c.plant));
            [[fallthrough]];
        case Outcome::Replaced:
            EXPECT_EQ(outcome, "written");
            EXPECT_EQ(kindAt(path), S_IFREG);
            break;
        }
        if (c.outcome != Outcome::KeptAndReplaced) {
            EXPECT_FALSE(fs::exists(corrupt));
        }
    }
}

// A file larger than its reader takes is refused unread, with a message
// that names it and the bound; a domain's is kept aside when the domain is
// next written, never saved over.
TEST_F(PlantedFiles, AFileLargerThanItsReaderTakesIsRefusedUnread) {
    const auto machineRead = [] {
        std::string error;
        return host::currentMachine(&error) ? "read" : "refused: " + error;
    };
    const struct {
        const char* name;
        std::function<fs::path()> file;
        std::uint64_t bound;  // past the bytes the file holds already
        std::function<std::string()> read;
        const char* says;  // after "too large to read (N bytes; ", or the whole message
    } files[] = {
        {"domain", domainFile, kPersistentDomainBytes,
         [] {
             return NSUserDefaults::standardUserDefaults().persistentDomainForName(kDomain)
                        ? std::string("read")
                        : refusedWithLog();
         },
         "at most 4 MiB"},
        {".strings table",
         [] { return bundleFolder() / "Contents/Resources/English.lproj/Localizable.strings"; },
         kStringsFileBytes,
         [] {
             const NSBundle bundle(bundleFolder().string(), {});
             return bundle.localizedStringForKey("KEY", "fallback") == "fallback"
                        ? refusedWithLog()
                        : std::string("read");
         },
         "at most 1 MiB"},
        {"Info.plist", [] { return bundleFolder() / "Contents/Info.plist"; },
         cf::kPropertyListFileBytes,
         [] {
             const auto bundle = NSBundle::bundleWithPath(bundleFolder().string());
             return bundle && bundle->bundleIdentifier() ? std::string("read") : refusedWithLog();
         },
         "at most 1 MiB"},
        {"machine.plist", host::machinePlistPath, host::kMachineFileBytes, machineRead,
         "at most 8 MiB"},
        {"PowerClients.plist", host::powerClientsPath, host::kPowerClientsFileBytes,
         [] {
             std::string error;
             return host::readPowerClients(&error) ? "read" : "refused: " + error;
         },
         "at most 1 MiB"},
        {"driver.jsonl after its checkpoint", host::driverLogPath, host::kJournalReadBytes,
         machineRead, "more than 1 MiB of records after the checkpoint"},
    };
    for (const auto& c : files) {
        SCOPED_TRACE(c.name);
        testsupport::TempSimMac mac;
        prepare(mac);
        ASSERT_EQ(sendARead(), kIOReturnSuccess);
        const fs::path path = c.file();
        fs::create_directories(path.parent_path());
        testsupport::writeFile(path, testsupport::readFile(path));
        const std::uintmax_t size = fs::file_size(path) + c.bound + 1;
        fs::resize_file(path, size);  // sparse: the bytes cost nothing until read

        const std::string outcome = c.read();
        EXPECT_EQ(outcome.rfind("refused: ", 0), 0u) << outcome;
        const std::string says =
            std::string(c.says).starts_with("at most ")
                ? "too large to read (" + std::to_string(size) + " bytes; " + c.says + ")"
                : c.says;
        EXPECT_NE(outcome.find(path.string() + ": " + says), std::string::npos) << outcome;
        EXPECT_EQ(fs::file_size(path), size) << "left as it was";
    }

    // The domain written next keeps the refused file aside, whole.
    testsupport::TempSimMac mac;
    fs::create_directories(domainFile().parent_path());
    testsupport::writeFile(domainFile(), "");
    fs::resize_file(domainFile(), kPersistentDomainBytes + 1);
    NSUserDefaults& defaults = NSUserDefaults::standardUserDefaults();
    defaults.setPersistentDomain(with({}, "New", true), kDomain);
    EXPECT_TRUE(defaults.synchronize());
    EXPECT_EQ(fs::file_size(domainFile().string() + ".corrupt"), kPersistentDomainBytes + 1);
    EXPECT_TRUE(defaults.persistentDomainForName(kDomain));
}

}  // namespace
