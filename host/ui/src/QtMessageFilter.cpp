#include "host/QtMessageFilter.h"

#include <QString>
#include <QtGlobal>
#include <atomic>
#include <string_view>

namespace host {

namespace {

QtMessageHandler previousHandler = nullptr;

bool isQtEnvironmentNote(std::string_view message) {
    const auto startsWith = [&](std::string_view prefix) {
        return message.substr(0, prefix.size()) == prefix;
    };
    const auto contains = [&](std::string_view part) {
        return message.find(part) != std::string_view::npos;
    };
    if (startsWith("QStandardPaths: ") &&
        (contains("XDG_RUNTIME_DIR") || contains("runtime directory")))
        return true;
    // The offscreen and minimal platforms list what they leave out.
    return startsWith("This plugin does not support ");
}

void filterMessage(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    if ((type == QtDebugMsg || type == QtInfoMsg || type == QtWarningMsg) &&
        isQtEnvironmentNote(message.toStdString()))
        return;
    if (previousHandler != nullptr) previousHandler(type, context, message);
}

}  // namespace

void installQtMessageFilter() {
    static std::atomic<bool> installed{false};
    if (installed.exchange(true)) return;
    previousHandler = qInstallMessageHandler(filterMessage);
}

}  // namespace host
