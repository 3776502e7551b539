// Drops the user's input that reached the application while its main thread
// was held (a card being programmed): key presses, clicks and wheel turns
// that queued up meanwhile are not replayed once it is free, so nothing acts
// on a gesture the user made without seeing its effect.
//
// A window system stamps each input event with its own clock. The gate learns
// that clock against ours from the events as they arrive (the smallest
// difference is the one of an event handled at once) and, when a hold ends,
// drops every event stamped before that moment. Events without a stamp, and
// those a program sends itself, always pass.
#pragma once

#include <QObject>
#include <cstdint>
#include <optional>

namespace hostui {

class InputGate : public QObject {
public:
    // The gate of the running QGuiApplication, installed on first use;
    // nullptr without one.
    static InputGate* instance();
    // The main thread was held until now.
    void holdEnded();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    InputGate() = default;
    std::optional<std::int64_t> offset_;      // our clock minus the window system's, in ms
    std::optional<std::int64_t> staleUntil_;  // in the window system's clock
};

}  // namespace hostui
