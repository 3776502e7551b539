#include "PaneSession.h"

#include <cstdio>
#include <filesystem>

#include <QApplication>
#include <QMainWindow>

#include "PaneOutcome.h"
#include "host/AppKit.h"
#include "host/BusyCursor.h"
#include "host/MachineInterface.h"
#include "host/NotificationCenter.h"
#include "host/QtMessageFilter.h"

PaneSession::PaneSession(std::string program) : program_(std::move(program)) {}

PaneSession::~PaneSession() {
    pane_.reset();
    app_.reset();
}

bool PaneSession::findPane(const std::string& panePath, const char* hint) {
    panePath_ = panePath;
    std::error_code ec;
    if (std::filesystem::is_directory(panePath, ec)) return true;
    std::fprintf(stderr, "%s: no pane at %s (install it with scripts/install-pane.sh, %s)\n",
                 program_.c_str(), panePath.c_str(), hint);
    return false;
}

QApplication& PaneSession::startQt(char* argv0) {
    host::installQtMessageFilter();
    qtArgv_[0] = argv0;
    app_ = std::make_unique<QApplication>(qtArgc_, qtArgv_);
    QApplication::setApplicationName(QString::fromStdString(program_));
    return *app_;
}

bool PaneSession::loadPane(QMainWindow& window, bool optionKey) {
    NSApp.setMainWindow(&window);
    std::string error;
    host::BusyCursor busy;
    if (optionKey) host::setCurrentModifierFlags(NSEventModifierFlagOption);
    pane_ = host::loadPreferencePane(panePath_, &error);
    view_ = pane_ ? pane_->mainView() : nullptr;
    host::setCurrentModifierFlags(0);
    if (!pane_) {
        std::fprintf(stderr, "%s: %s\n", program_.c_str(), error.c_str());
        return false;
    }
    if (view_ != nullptr) {
        window.setCentralWidget(view_);
        // Shown, then selected, as System Preferences does: what the pane
        // still does at open (the saved clocks put back) happens in view.
        window.adjustSize();
        QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents |
                                        QEventLoop::ExcludeSocketNotifiers);
        pane_->didSelect();
    }
    if (pane_->valueForKey("unreadCardCount").value_or(0) > 0) checkMachine();
    return true;
}

std::string PaneSession::checkMachine() {
    std::string error;
    const std::shared_ptr<const host::Machine> machine = host::currentMachine(&error);
    std::string why;
    if (machine && machine->hung)
        why = "the simulated Mac hangs, so no card answers; simmac reboot restarts it";
    else if (machine && machine->asleep)
        why = "the simulated Mac is asleep, so no card answers; simmac wake wakes it";
    if (!why.empty()) machineUnresponsive_ = why;
    return why;
}

bool PaneSession::hostError() const {
    return !machineUnresponsive_.empty() ||
           (pane_ && pane_->valueForKey("machineUnreadable").value_or(0) != 0);
}

int PaneSession::quit(int asked, const std::function<void()>& saved) {
    NSNotificationCenter::defaultCenter().postNotificationName(
        NSApplicationWillTerminateNotification, &NSApp);
    if (saved) saved();
    PaneOutcome outcome = PaneOutcome::of(*pane_);
    outcome.machineUnresponsive = machineUnresponsive_;
    // The pane's controls go before the window that holds its view.
    pane_.reset();
    view_ = nullptr;
    for (const std::string& message : outcome.messages())
        std::fprintf(stderr, "%s: %s\n", program_.c_str(), message.c_str());
    return outcome.exitStatus(asked);
}
