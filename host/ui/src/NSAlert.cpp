#include <QApplication>
#include <QPointer>
#include <deque>
#include <mutex>

#include "AlertSheet.h"
#include "host/AppKitAlert.h"

namespace {
struct AlertLog {
    std::mutex mutex;
    std::vector<NSAlertRecord> records;
    std::function<void(const NSAlertRecord&)> observer;
};
AlertLog& alertLog() {
    static AlertLog log;
    return log;
}

// A sheet waiting for the one its window shows to be answered.
struct WaitingSheet {
    NSAlertRecord record;
    QImage icon;
    std::function<void(NSModalResponse)> completionHandler;
};
// The sheets of one window: the one shown, then those waiting, oldest first.
// Used on the main thread only, as every window.
struct WindowSheets {
    QPointer<QWidget> window;
    QPointer<hostui::AlertSheet> shown;
    std::deque<WaitingSheet> waiting;
};
std::vector<WindowSheets>& sheetsByWindow() {
    static std::vector<WindowSheets> windows;
    return windows;
}

WindowSheets& sheetsOf(QWidget* window) {
    auto& all = sheetsByWindow();
    std::erase_if(all, [](const WindowSheets& w) { return w.window.isNull(); });
    for (WindowSheets& w : all)
        if (w.window == window) return w;
    all.push_back({window, nullptr, {}});
    return all.back();
}

void showNextSheet(QWidget* window) {
    WindowSheets& sheets = sheetsOf(window);
    if (!sheets.shown.isNull() || sheets.waiting.empty()) return;
    WaitingSheet next = std::move(sheets.waiting.front());
    sheets.waiting.pop_front();
    QPointer<QWidget> guard(window);
    auto* sheet = new hostui::AlertSheet(
        next.record, next.icon, window,
        [guard, handler = std::move(next.completionHandler)](NSModalResponse response) {
            // The sheet is gone: a sheet the handler begins may show at once.
            if (!guard.isNull()) sheetsOf(guard.data()).shown = nullptr;
            if (handler) handler(response);
            if (!guard.isNull()) showNextSheet(guard.data());
        });
    sheets.shown = sheet;
    sheet->present();
}

void recordAlert(const NSAlertRecord& record) {
    std::function<void(const NSAlertRecord&)> observer;
    {
        std::lock_guard lock(alertLog().mutex);
        alertLog().records.push_back(record);
        observer = alertLog().observer;
    }
    if (observer) observer(record);
}
}  // namespace

void NSAlert::beginSheetModalForWindow(NSWindow* window, const void* /*modalDelegate*/) {
    beginSheetModalForWindow(window, std::function<void(NSModalResponse)>());
}

void NSAlert::beginSheetModalForWindow(NSWindow* window,
                                       std::function<void(NSModalResponse)> completionHandler) {
    NSAlertRecord record;
    record.messageText = messageText_;
    record.informativeText = informativeText_;
    record.buttons = buttons_;
    if (record.buttons.empty()) record.buttons.emplace_back("OK");  // AppKit's default button
    if (icon_ && icon_->isValid()) record.iconPath = icon_->path();
    record.sheet = window != nullptr;
    record.showsHelp = showsHelp_;
    record.helpAnchor = helpAnchor_;
    recordAlert(record);

    if (qobject_cast<QApplication*>(QCoreApplication::instance()) == nullptr) return;
    const QImage icon = icon_ && icon_->isValid() ? icon_->image() : QImage();
    if (window == nullptr) {
        (new hostui::AlertSheet(record, icon, nullptr, std::move(completionHandler)))->present();
        return;
    }
    QWidget* topLevel = window->window();
    sheetsOf(topLevel).waiting.push_back({std::move(record), icon, std::move(completionHandler)});
    showNextSheet(topLevel);
}

namespace host {
std::vector<NSAlertRecord> shownAlerts() {
    std::lock_guard lock(alertLog().mutex);
    return alertLog().records;
}

void clearShownAlerts() {
    std::lock_guard lock(alertLog().mutex);
    alertLog().records.clear();
}

void setAlertObserver(std::function<void(const NSAlertRecord&)> observer) {
    std::lock_guard lock(alertLog().mutex);
    alertLog().observer = std::move(observer);
}

QWidget* attachedSheet(NSWindow* window) {
    if (window == nullptr) return nullptr;
    for (const WindowSheets& sheets : sheetsByWindow())
        if (sheets.window == window->window() && !sheets.shown.isNull() &&
            sheets.shown->isVisible())
            return sheets.shown.data();
    return nullptr;
}
}  // namespace host
