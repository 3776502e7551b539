#include <QApplication>
#include <QMessageBox>
#include <QPixmap>
#include <QPushButton>
#include <mutex>

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
}  // namespace

void NSAlert::beginSheetModalForWindow(NSWindow* window, const void* /*modalDelegate*/) {
    NSAlertRecord record;
    record.messageText = messageText_;
    record.informativeText = informativeText_;
    record.buttons = buttons_;
    if (record.buttons.empty()) record.buttons.emplace_back("OK");  // AppKit's default button
    if (icon_ && icon_->isValid()) record.iconPath = icon_->path();
    record.sheet = window != nullptr;

    std::function<void(const NSAlertRecord&)> observer;
    {
        std::lock_guard lock(alertLog().mutex);
        alertLog().records.push_back(record);
        observer = alertLog().observer;
    }
    if (observer) observer(record);

    if (qobject_cast<QApplication*>(QCoreApplication::instance()) == nullptr) return;
    // The box deletes itself when the user answers; open() never blocks.
    auto* box = new QMessageBox(window);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(window != nullptr ? Qt::WindowModal : Qt::NonModal);
    box->setText(QString::fromStdString(record.messageText));
    if (record.informativeText)
        box->setInformativeText(QString::fromStdString(*record.informativeText));
    if (icon_ && icon_->isValid())
        box->setIconPixmap(QPixmap::fromImage(icon_->image())
                               .scaled(64, 64, Qt::KeepAspectRatio, Qt::SmoothTransformation));
    else
        box->setIcon(QMessageBox::Warning);
    for (const std::string& title : record.buttons)
        box->addButton(QString::fromStdString(title), QMessageBox::AcceptRole);
    box->open();
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
}  // namespace host
