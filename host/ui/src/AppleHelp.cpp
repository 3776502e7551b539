#include "host/AppleHelp.h"

#include <QApplication>
#include <QPointer>
#include <QTextBrowser>
#include <QUrl>
#include <algorithm>
#include <filesystem>
#include <map>
#include <mutex>

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

std::optional<fs::path> findStartPage(const fs::path& folder) {
    std::error_code ec;
    if (fs::is_regular_file(folder / "index.html", ec)) return folder / "index.html";
    std::vector<fs::path> pages;
    for (const auto& item : fs::directory_iterator(folder, ec))
        if (item.is_regular_file(ec) &&
            (item.path().extension() == ".html" || item.path().extension() == ".htm"))
            pages.push_back(item.path());
    if (pages.empty()) return std::nullopt;
    return *std::min_element(pages.begin(), pages.end());
}

// One help viewer window per process, as Help Viewer is one application.
QPointer<QTextBrowser>& helpViewer() {
    static QPointer<QTextBrowser> viewer;
    return viewer;
}

void showInViewer(const fs::path& page, const std::optional<std::string>& anchor,
                  const std::string& title) {
    if (qobject_cast<QApplication*>(QCoreApplication::instance()) == nullptr) return;
    QPointer<QTextBrowser>& viewer = helpViewer();
    if (viewer.isNull()) {
        viewer = new QTextBrowser();
        viewer->setAttribute(Qt::WA_DeleteOnClose);
        viewer->setOpenExternalLinks(false);
        viewer->resize(640, 560);
    }
    QUrl url = QUrl::fromLocalFile(QString::fromStdString(page.string()));
    if (anchor && !anchor->empty()) url.setFragment(QString::fromStdString(*anchor));
    viewer->setSearchPaths({QString::fromStdString(page.parent_path().string())});
    viewer->setSource(url);
    viewer->setWindowTitle(QString::fromStdString(title));
    viewer->show();
    viewer->raise();
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
    std::lock_guard lock(helpState().mutex);
    helpState().books[*bookName] = {*bookName, folder->string(), start->string()};
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
    {
        std::lock_guard lock(helpState().mutex);
        helpState().openedPages.push_back(page.string() +
                                          (anchor && !anchor->empty() ? "#" + *anchor : ""));
    }
    showInViewer(page, anchor, book.name);
    return noErr;
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
