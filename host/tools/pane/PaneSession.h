// One session of a preference pane in a program that hosts it (prefhost,
// tarnwickctl), from the bundle's check to the quit at which the pane saves,
// as System Preferences runs a pane. Its messages go to stderr behind the
// program's name.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "PaneSessionLock.h"
#include "host/PreferencePanes.h"

class QApplication;
class QMainWindow;

class PaneSession {
public:
    explicit PaneSession(std::string program);
    ~PaneSession();  // the pane goes before Qt's application
    PaneSession(const PaneSession&) = delete;
    PaneSession& operator=(const PaneSession&) = delete;

    // Whether a bundle folder stands at `panePath`; else says so, with how to
    // install the pane or `hint` for naming another.
    bool findPane(const std::string& panePath, const char* hint);
    // The one-session lock, held until the session ends (after the save).
    PaneSessionLock& sessionLock() { return lock_; }
    // Qt's application for this program, with Qt's messages filtered.
    QApplication& startQt(char* argv0);
    // Loads the pane found, under the busy cursor and with the Option key
    // held when asked; `window` is NSApp's main window (alert sheets attach
    // to it) and takes the pane's main view. False, having said why, when the
    // pane did not load; the view may still be missing (paneView()).
    bool loadPane(QMainWindow& window, bool optionKey);
    NSPreferencePane& pane() { return *pane_; }
    NSView* paneView() const { return view_; }

    // Whether the simulated Mac sleeps or hangs, asked of the machine itself:
    // a pane sees only cards that do not answer. Done by loadPane when the
    // pane left a card out, and by the program when it finds no usable card
    // or an action failed. A machine found so is kept for the outcome (a host
    // error); the message (without the program's name), or empty when the
    // machine answers or cannot be read (the pane says that itself).
    std::string checkMachine();
    // The pane cannot act on the machine: it could not be read, or it sleeps
    // or hangs (as far as checked).
    bool hostError() const;

    // Quits as System Preferences quits: NSApplicationWillTerminateNotification,
    // at which the pane saves; then `saved` runs, the pane goes and what the
    // session met is said. The exit status: the worst of that and `asked`.
    int quit(int asked, const std::function<void()>& saved = {});

private:
    std::string program_;
    std::string panePath_;
    PaneSessionLock lock_;
    // Qt keeps references to its arguments for the application's life.
    int qtArgc_ = 1;
    char* qtArgv_[2] = {nullptr, nullptr};
    std::unique_ptr<QApplication> app_;
    std::unique_ptr<NSPreferencePane> pane_;
    NSView* view_ = nullptr;
    std::string machineUnresponsive_;
};
