// AppKit alerts and images. Alerts begun as sheets are window-modal and never
// block: the call returns at once and the user answers later. A window shows
// one sheet at a time; a sheet begun while another is up waits for it to be
// answered. Every alert begun is also recorded, so host programs and tests
// can see what the user was shown.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host/AppKitApplication.h"

class QImage;

class NSImage {
public:
    NSImage();
    ~NSImage();
    NSImage(const NSImage&) = delete;
    NSImage& operator=(const NSImage&) = delete;

    // Reads the image file (TIFF, PNG, ... through Qt's image plugins). False,
    // leaving no image, when the file is missing or cannot be read.
    bool initByReferencingFile(const std::string& path);
    bool isValid() const;
    int width() const;
    int height() const;
    const std::string& path() const { return path_; }
    const QImage& image() const;

private:
    std::unique_ptr<QImage> image_;
    std::string path_;
};

// What an alert showed, as recorded when it was begun.
struct NSAlertRecord {
    std::string messageText;
    std::optional<std::string> informativeText;
    std::vector<std::string> buttons;
    std::string iconPath;  // empty: the standard icon
    bool sheet = false;    // attached to a window as a sheet
    bool showsHelp = false;
    std::string helpAnchor;
};

// The button that answered an alert: the first one added, the second, ...
using NSModalResponse = long;
inline constexpr NSModalResponse NSAlertFirstButtonReturn = 1000;
inline constexpr NSModalResponse NSAlertSecondButtonReturn = 1001;
inline constexpr NSModalResponse NSAlertThirdButtonReturn = 1002;

class NSAlert {
public:
    NSAlert() = default;

    void addButtonWithTitle(const std::string& title) { buttons_.push_back(title); }
    void setMessageText(const std::string& text) { messageText_ = text; }
    void setInformativeText(const std::string& text) { informativeText_ = text; }
    void setIcon(std::shared_ptr<NSImage> icon) { icon_ = std::move(icon); }
    // A round Help button beside the others; it opens the help page that
    // holds the anchor (in any registered book) and leaves the alert open.
    void setShowsHelp(bool showsHelp) { showsHelp_ = showsHelp; }
    void setHelpAnchor(const std::string& anchor) { helpAnchor_ = anchor; }

    const std::string& messageText() const { return messageText_; }
    const std::optional<std::string>& informativeText() const { return informativeText_; }
    const std::vector<std::string>& buttons() const { return buttons_; }
    const std::shared_ptr<NSImage>& icon() const { return icon_; }
    bool showsHelp() const { return showsHelp_; }
    const std::string& helpAnchor() const { return helpAnchor_; }

    // Shows the alert as a sheet of `window` (nullptr: as a window of its
    // own) when a QApplication runs, and returns at once; the shown alert
    // outlives this object. The first button is the default one (Return);
    // a button titled "Cancel" also answers Escape. `modalDelegate` is not
    // called back (no end selector). The alert is recorded either way.
    void beginSheetModalForWindow(NSWindow* window, const void* modalDelegate = nullptr);
    // The same, and `completionHandler` gets the button that answered, once
    // the sheet is gone. Never called when nobody answers (no QApplication,
    // or the window went away first).
    void beginSheetModalForWindow(NSWindow* window,
                                  std::function<void(NSModalResponse)> completionHandler);

private:
    std::string messageText_;
    std::optional<std::string> informativeText_;
    std::vector<std::string> buttons_;
    std::shared_ptr<NSImage> icon_;
    bool showsHelp_ = false;
    std::string helpAnchor_;
};

namespace host {
// Alerts begun in this process since it started (or since the last clear),
// oldest first.
std::vector<NSAlertRecord> shownAlerts();
void clearShownAlerts();
// Called for every alert begun from now on (nullptr: nobody), e.g. by a
// terminal front end that prints alerts as they come.
void setAlertObserver(std::function<void(const NSAlertRecord&)> observer);
// The sheet `window` shows now (NSWindow's attachedSheet), or nullptr.
QWidget* attachedSheet(NSWindow* window);
}  // namespace host
