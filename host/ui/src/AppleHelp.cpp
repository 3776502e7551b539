#include "host/AppleHelp.h"

#include <QApplication>
#include <QPointer>
#include <QUrl>
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>

#include "HelpViewer.h"
#include "host/Log.h"

namespace fs = std::filesystem;

namespace {
struct HelpState {
    std::mutex mutex;
    std::map<std::string, host::HelpBook> books;
    std::vector<std::string> openedPages;
};
HelpState& helpState() {
    static HelpState state;
    return state;
}

const std::string* infoString(const NSBundle& bundle, const char* key) {
    const cf::Value* value = bundle.infoDictionary().get(key);
    return value != nullptr ? value->string() : nullptr;
}

// The book folder in the resources, or else in a localized resources folder
// (English first).
std::optional<fs::path> findBookFolder(const NSBundle& bundle, const std::string& folderName) {
    std::error_code ec;
    const fs::path resources = bundle.resourcePath();
    if (fs::is_directory(resources / folderName, ec)) return resources / folderName;
    for (const char* lang : {"English.lproj", "en.lproj"})
        if (fs::is_directory(resources / lang / folderName, ec))
            return resources / lang / folderName;
    std::vector<fs::path> localized;
    for (const auto& item : fs::directory_iterator(resources, ec))
        if (item.path().extension() == ".lproj") localized.push_back(item.path());
    std::sort(localized.begin(), localized.end());
    for (const fs::path& lproj : localized)
        if (fs::is_directory(lproj / folderName, ec)) return lproj / folderName;
    return std::nullopt;
}

// The book's pages in name order, files with the given extension.
std::vector<fs::path> filesOf(const fs::path& folder, const std::vector<std::string>& extensions) {
    std::error_code ec;
    std::vector<fs::path> files;
    for (const auto& item : fs::directory_iterator(folder, ec))
        if (item.is_regular_file(ec) &&
            std::find(extensions.begin(), extensions.end(), item.path().extension().string()) !=
                extensions.end())
            files.push_back(item.path());
    std::sort(files.begin(), files.end());
    return files;
}

std::optional<fs::path> findStartPage(const fs::path& folder) {
    std::error_code ec;
    if (fs::is_regular_file(folder / "index.html", ec)) return folder / "index.html";
    const std::vector<fs::path> pages = filesOf(folder, {".html", ".htm"});
    if (pages.empty()) return std::nullopt;
    return pages.front();
}

bool pageHoldsAnchor(const fs::path& page, const std::string& anchor) {
    std::ifstream in(page, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    const std::string html = text.str();
    for (const char* attribute : {"name=\"", "id=\""})
        if (html.find(attribute + anchor + "\"") != std::string::npos) return true;
    return false;
}

// One help viewer window per process, as Help Viewer is one application.
QPointer<hostui::HelpViewer>& helpViewer() {
    static QPointer<hostui::HelpViewer> viewer;
    return viewer;
}

void showInViewer(const host::HelpBook& book, const fs::path& page,
                  const std::optional<std::string>& anchor) {
    {
        std::lock_guard lock(helpState().mutex);
        helpState().openedPages.push_back(page.string() +
                                          (anchor && !anchor->empty() ? "#" + *anchor : ""));
    }
    if (qobject_cast<QApplication*>(QCoreApplication::instance()) == nullptr) return;
    QPointer<hostui::HelpViewer>& viewer = helpViewer();
    if (viewer.isNull()) viewer = new hostui::HelpViewer();
    QUrl url = QUrl::fromLocalFile(QString::fromStdString(page.string()));
    if (anchor && !anchor->empty()) url.setFragment(QString::fromStdString(*anchor));
    viewer->showPage(url, QString::fromStdString(book.name), QString::fromStdString(book.folder),
                     QString::fromStdString(book.collection));
    viewer->show();
    viewer->raise();
    viewer->activateWindow();
}
}  // namespace

OSStatus AHRegisterHelpBook(const FSRef* ref) {
    if (ref == nullptr || ref->path.empty()) return paramErr;
    std::shared_ptr<NSBundle> bundle = NSBundle::bundleWithPath(ref->path);
    if (!bundle) return fnfErr;
    const std::string* folderName = infoString(*bundle, "CFBundleHelpBookFolder");
    const std::string* bookName = infoString(*bundle, "CFBundleHelpBookName");
    if (folderName == nullptr || bookName == nullptr || folderName->empty() || bookName->empty())
        return fnfErr;
    const std::optional<fs::path> folder = findBookFolder(*bundle, *folderName);
    if (!folder) return fnfErr;
    const std::optional<fs::path> start = findStartPage(*folder);
    if (!start) return fnfErr;
    const std::vector<fs::path> collections = filesOf(*folder, {".qhc"});
    std::lock_guard lock(helpState().mutex);
    helpState().books[*bookName] = {*bookName, folder->string(), start->string(),
                                    collections.empty() ? std::string() : collections[0].string()};
    return noErr;
}

OSStatus AHGotoPage(const std::optional<std::string>& bookName,
                    const std::optional<std::string>& path,
                    const std::optional<std::string>& anchor) {
    if (!bookName) return paramErr;
    host::HelpBook book;
    {
        std::lock_guard lock(helpState().mutex);
        auto found = helpState().books.find(*bookName);
        if (found == helpState().books.end()) {
            NSLog("Help book \"%s\" is not registered", bookName->c_str());
            return kAHInternalErr;
        }
        book = found->second;
    }
    fs::path page = book.startPage;
    if (path && !path->empty()) {
        // Pages stay inside the book folder.
        const fs::path relative = fs::path(*path).lexically_normal();
        if (relative.is_absolute() || (!relative.empty() && *relative.begin() == ".."))
            return fnfErr;
        page = fs::path(book.folder) / relative;
    }
    std::error_code ec;
    if (!fs::is_regular_file(page, ec)) return fnfErr;
    showInViewer(book, page, anchor);
    return noErr;
}

OSStatus AHLookupAnchor(const std::optional<std::string>& bookName, const std::string& anchor) {
    if (anchor.empty()) return paramErr;
    std::vector<host::HelpBook> books;
    {
        std::lock_guard lock(helpState().mutex);
        for (const auto& [name, book] : helpState().books)
            if (!bookName || name == *bookName) books.push_back(book);
    }
    if (bookName && books.empty()) {
        NSLog("Help book \"%s\" is not registered", bookName->c_str());
        return kAHInternalErr;
    }
    for (const host::HelpBook& book : books)
        for (const fs::path& page : filesOf(book.folder, {".html", ".htm"}))
            if (pageHoldsAnchor(page, anchor)) {
                showInViewer(book, page, anchor);
                return noErr;
            }
    NSLog("Help anchor \"%s\" is in no registered help book", anchor.c_str());
    return fnfErr;
}

namespace host {
std::vector<HelpBook> registeredHelpBooks() {
    std::lock_guard lock(helpState().mutex);
    std::vector<HelpBook> books;
    for (const auto& [name, book] : helpState().books) books.push_back(book);
    return books;
}

std::vector<std::string> openedHelpPages() {
    std::lock_guard lock(helpState().mutex);
    return helpState().openedPages;
}

QWidget* helpViewerWindow() { return helpViewer().data(); }

void clearOpenedHelpPages() {
    std::lock_guard lock(helpState().mutex);
    helpState().openedPages.clear();
}
}  // namespace host
