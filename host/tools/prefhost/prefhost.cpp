// prefhost: the stand-in for System Preferences. It loads one .prefPane
// bundle (by default the installed TarnwickPref), creates its principal class
// through the module's factory, shows the pane's main view in the main window
// and, when it quits (window closed, Ctrl+Q, SIGINT or SIGTERM), posts
// NSApplicationWillTerminateNotification before it exits, which is when a
// pane saves its settings. While the pane is created (which may program the
// cards for a while) the window is already shown, with the busy cursor.
//
// Like System Preferences it runs once per simulated Mac: while prefhost or
// tarnwickctl has the pane open, a second prefhost says so and exits.
#include <fcntl.h>
#include <signal.h>  // NOLINT(modernize-deprecated-headers): sigaction is POSIX, not in <csignal>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QKeySequence>
#include <QLayout>
#include <QMainWindow>
#include <QMenuBar>
#include <QPainter>
#include <QPixmap>
#include <QSocketNotifier>
#include <QTimer>

#include "CommandLine.h"
#include "PaneOutcome.h"
#include "PaneSession.h"
#include "ToolMain.h"
#include "host/AppleHelp.h"
#include "host/Log.h"
#include "host/SimMac.h"

namespace {

// prefhost's own names for the shared statuses.
constexpr int kOK = kPaneOK;
constexpr int kFailed = kPaneUsage;
constexpr int kPaneAlreadyOpen = kPaneSessionBusy;

// Signals arrive on any thread at any moment; the handler only writes a byte
// to this pipe, and the event loop reads it and quits in an orderly way.
int signalPipe[2] = {-1, -1};

void onQuitSignal(int) {
    const char byte = 'q';
    const int saved = errno;
    if (write(signalPipe[1], &byte, 1) < 0) {
        // Nothing safe to do here; the pipe is only full when a quit is already pending.
    }
    errno = saved;
}

bool installQuitSignals(std::string* error) {
    if (pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        *error = std::string("pipe: ") + std::strerror(errno);
        return false;
    }
    struct sigaction action {};
    action.sa_handler = onQuitSignal;
    sigemptyset(&action.sa_mask);
    // A second signal while saving acts as usual, so a stuck quit can still
    // be interrupted.
    action.sa_flags = SA_RESETHAND | SA_RESTART;
    if (sigaction(SIGINT, &action, nullptr) != 0 || sigaction(SIGTERM, &action, nullptr) != 0) {
        *error = std::string("sigaction: ") + std::strerror(errno);
        return false;
    }
    return true;
}

// Closing the main window quits the application, as closing System
// Preferences' only window does, even while an alert sheet or the help
// viewer is still open.
class MainWindow : public QMainWindow {
public:
    // Closed before the application's loop ran (while the pane still put the
    // saved clocks back), where quit() does nothing yet.
    bool closed() const { return closed_; }

protected:
    void closeEvent(QCloseEvent* event) override {
        event->accept();
        closed_ = true;
        QCoreApplication::quit();
    }

private:
    bool closed_ = false;
};

// Qt aborts when it has no platform to show windows on; say what works instead.
bool hasDisplay() {
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
        const char* value = std::getenv(name);
        if (value != nullptr && *value != '\0') return true;
    }
    return false;
}

bool savePicture(QWidget& widget, const std::string& path) {
    // The window with the sheets that hang on it.
    QPixmap picture = widget.grab();
    QPainter painter(&picture);
    for (QWidget* sheet : QApplication::topLevelWidgets())
        if (sheet != &widget && sheet->isVisible() && sheet->parentWidget() != nullptr &&
            sheet->parentWidget()->window() == &widget)
            painter.drawPixmap(sheet->geometry().topLeft() - widget.geometry().topLeft(),
                               sheet->grab());
    painter.end();
    if (!picture.save(QString::fromStdString(path), "PNG")) {
        std::fprintf(stderr, "prefhost: cannot write %s\n", path.c_str());
        return false;
    }
    std::printf("prefhost: saved %s\n", path.c_str());
    return true;
}

// Opens the start page of the first help book the pane's bundle registered,
// as the pane's help button would, and saves a picture of the help viewer.
bool saveHelpPicture(const NSPreferencePane& pane, const std::string& path) {
    const std::string bundlePath = pane.bundle() ? pane.bundle()->bundlePath() : std::string();
    for (const host::HelpBook& book : host::registeredHelpBooks()) {
        if (bundlePath.empty() || book.folder.compare(0, bundlePath.size(), bundlePath) != 0)
            continue;
        if (AHGotoPage(book.name, std::nullopt, std::nullopt) != noErr) break;
        QCoreApplication::processEvents();
        QWidget* viewer = host::helpViewerWindow();
        return viewer != nullptr && savePicture(*viewer, path);
    }
    std::fprintf(stderr, "prefhost: the pane registered no help book to show\n");
    return false;
}

std::string windowTitle(const std::string& path) {
    if (const auto bundle = NSBundle::bundleWithPath(path)) {
        for (const char* key : {"NSPrefPaneIconLabel", "CFBundleName"}) {
            const cf::Value* v = bundle->infoDictionary().get(key);
            if (v && v->string() && !v->string()->empty()) return *v->string();
        }
    }
    return std::filesystem::path(path).stem().string();
}

int run(int argc, char** argv) {
    CLI::App cli{
        "prefhost: loads a preference pane bundle and shows it in a window, like System "
        "Preferences. Quitting (closing the window, Ctrl+Q, SIGINT, SIGTERM) posts "
        "NSApplicationWillTerminateNotification, at which the pane saves."};
    std::string panePath = (host::preferencePanesDir() / "TarnwickPref.prefPane").string();
    bool optionKey = false;
    std::string screenshot;
    std::string helpScreenshot;
    cli.add_option("pane", panePath, "The .prefPane bundle to open")->capture_default_str();
    cli.add_flag("--option-key", optionKey,
                 "Hold the Option key while the pane is created and loaded");
    CLI::Option* screenshotOption = cli.add_option(
        "--screenshot", screenshot, "Save a PNG image of the window once it is shown, then quit");
    cli.add_option("--screenshot-help", helpScreenshot,
                   "With --screenshot: also open the pane's help book and save a PNG image of "
                   "the help viewer")
        ->needs(screenshotOption);
    if (const std::optional<int> status = tools::parseCommandLine(cli, argc, argv)) return *status;
    host::setLogProgramName("prefhost");

    PaneSession session("prefhost");
    if (!session.findPane(panePath, "or name a .prefPane bundle")) return kFailed;
    if (!hasDisplay()) {
        std::fprintf(stderr,
                     "prefhost: no display to show the pane on (DISPLAY, WAYLAND_DISPLAY and "
                     "QT_QPA_PLATFORM are unset).\n"
                     "  On a terminal, tarnwickctl is the same pane without a window "
                     "(tarnwickctl list, set, stock, startup);\n"
                     "  or give prefhost a virtual display: xvfb-run prefhost\n");
        return kFailed;
    }
    switch (session.sessionLock().acquire(std::chrono::milliseconds(0))) {
    case PaneSessionLock::Result::kAcquired: break;
    case PaneSessionLock::Result::kHeld: {
        std::fprintf(stderr, "prefhost: the pane is already open (%s); quit it first\n",
                     PaneSessionLock::holderText(session.sessionLock().holderPid()).c_str());
        return kPaneAlreadyOpen;
    }
    case PaneSessionLock::Result::kFailed:
        std::fprintf(stderr, "prefhost: %s\n", session.sessionLock().error().c_str());
        return kFailed;
    }
    std::string error;
    if (!installQuitSignals(&error)) {
        std::fprintf(stderr, "prefhost: %s\n", error.c_str());
        return kFailed;
    }

    QApplication& app = session.startQt(argv[0]);
    QApplication::setQuitOnLastWindowClosed(false);

    QSocketNotifier signalNotifier(signalPipe[0], QSocketNotifier::Read);
    QObject::connect(&signalNotifier, &QSocketNotifier::activated, &app, [] {
        char drained[16];
        while (read(signalPipe[0], drained, sizeof drained) > 0) {
        }
        QCoreApplication::quit();
    });

    MainWindow window;
    QAction* quitAction = window.menuBar()->addMenu("&File")->addAction("&Quit");
    quitAction->setShortcut(QKeySequence::Quit);
    quitAction->setShortcutContext(Qt::ApplicationShortcut);
    QObject::connect(quitAction, &QAction::triggered, &app, &QCoreApplication::quit);

    // The window is there at once; creating the pane may take a while (it
    // restores the saved clocks), under the busy cursor.
    window.setWindowTitle(QString::fromStdString(windowTitle(panePath)));
    // A pane's window has the size of its view, as in System Preferences.
    window.layout()->setSizeConstraint(QLayout::SetFixedSize);
    window.show();
    QCoreApplication::processEvents();
    if (!session.loadPane(window, optionKey)) return kFailed;
    if (session.paneView() == nullptr) {
        std::fprintf(stderr, "prefhost: the pane's view did not load (see the system log)\n");
        return kFailed;
    }

    std::printf("prefhost: showing %s\n", panePath.c_str());
    std::fflush(stdout);

    int status = kOK;
    if (!screenshot.empty()) {
        QTimer::singleShot(0, &window, [&] {
            QCoreApplication::processEvents();
            if (!savePicture(window, screenshot)) status = kFailed;
            if (!helpScreenshot.empty() && !saveHelpPicture(session.pane(), helpScreenshot))
                status = kFailed;
            QCoreApplication::quit();
        });
    }

    const int loopStatus = window.closed() ? kOK : app.exec();
    return session.quit(status != kOK ? status : loopStatus,
                        [] { std::printf("prefhost: quit\n"); });
}

}  // namespace

int main(int argc, char** argv) { return tools::guardedMain("prefhost", run, argc, argv); }
