// The window of an NSAlert. As a sheet it hangs from the top of its window's
// content (below a main window's menu bar), centred, without a title bar of
// its own, follows the window when it moves, and holds the window's input
// until it is answered. Without a window it is a dialog of its own. The
// message is bold with the informative text below; the first button is the
// default (Return) and a button titled "Cancel" answers Escape; a round Help
// button, when shown, opens the alert's help anchor and answers nothing.
// Closed from outside (the application quitting), it answers as Escape does,
// or else with its first button.
#pragma once

#include <QDialog>
#include <QImage>
#include <QPointer>
#include <functional>
#include <optional>

#include "KeyRepeat.h"
#include "host/AppKitAlert.h"

class QPushButton;

namespace hostui {

class AlertSheet : public QDialog {
    Q_OBJECT

public:
    // `answered` is called once with the button that answered, after the
    // sheet has gone.
    AlertSheet(const NSAlertRecord& alert, const QImage& icon, QWidget* window,
               std::function<void(NSModalResponse)> answered);
    ~AlertSheet() override;

    // Shows the sheet in its place on the window (or as a dialog of its own).
    void present();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void keyReleaseEvent(QKeyEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    // Escape answers through the "Cancel" button only, never by itself.
    void reject() override {}
    void paintEvent(QPaintEvent* event) override;

private:
    void answer(int buttonIndex);
    // The button titled "Cancel", which Escape presses.
    std::optional<int> cancelButton() const;
    // Under the window's top edge, centred, as wide as the window allows.
    void attachToWindow();
    void fitWidth(int width);

    QPointer<QWidget> window_;
    std::vector<QPushButton*> buttons_;
    std::function<void(NSModalResponse)> answered_;
    bool done_ = false;
    KeyRepeat repeat_;
};

}  // namespace hostui
