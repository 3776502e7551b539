// What every AppKit control stand-in shares (AppKitControls.h): its widget,
// whether it is enabled, and its action.
#pragma once

#include <functional>
#include <memory>

class QObject;
class QWidget;

class NSControl {
public:
    // The control's action: `sender` is the control.
    using Action = std::function<void(const void* sender)>;

    NSControl();
    virtual ~NSControl();
    NSControl(const NSControl&) = delete;
    NSControl& operator=(const NSControl&) = delete;

    // Connection to a widget of a loaded view; done by the nib loader. False
    // when the widget is of a kind this control cannot drive.
    bool connectView(QWidget* widget);
    bool isConnected() const;  // the widget exists
    QWidget* view() const;     // nullptr when not connected or the widget is gone

    void setEnabled(bool enabled);
    bool isEnabled() const { return enabled_; }

    void setAction(Action action) { action_ = std::move(action); }
    // Sends the action (when there is one) as the control itself would.
    void sendAction();

protected:
    // The receiver for the widget's signals: it goes away with the control
    // (or a new connection), so no signal reaches a destroyed control.
    QObject* viewContext() const;
    virtual bool acceptsView(QWidget* widget) const = 0;
    // Called after connecting: hook up the widget's signals.
    virtual void attachView(QWidget* widget) = 0;
    // Pushes the control's state to its widget (when connected).
    virtual void updateView() = 0;

private:
    struct ViewLink;
    std::unique_ptr<ViewLink> link_;
    bool enabled_ = true;
    Action action_;
};
