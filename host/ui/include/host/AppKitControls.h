// AppKit control stand-ins: steppers, text fields (NSTextField.h), buttons
// (NSButton.h), the table view and the scroll view, over NSControl.h. Each
// control keeps its own state, as an NSCell does, and mirrors it to the Qt
// widget it is connected to when the pane's view is loaded. Everything a pane
// shows can thus be read back here (by tests and the terminal front end),
// with or without a widget behind it; an unconnected control behaves like a
// nil outlet that still remembers values.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "host/NSButton.h"
#include "host/NSControl.h"
#include "host/NSTextField.h"
#include "host/NotificationCenter.h"

// Up/down arrows over a double value within [minValue, maxValue], with the
// field that shows the value and takes a typed one. Widget: a HostStepper
// (the promoted QAbstractSpinBox of .ui files, see PreferencePanes.h), which
// shows the value through its "numberFormat". Like a Mac stepper, it moves
// one step per click or arrow key press (no repeat while held); the arrows
// never take focus, and neither the wheel nor Page Up/Down step it.
class NSStepper : public NSControl {
public:
    // The field's action: a value typed and confirmed (Return or Tab) within
    // the limits. Its receiver decides what happens to it, typically
    // takeDoubleValue now or after asking.
    using FieldAction = std::function<void(double typedValue)>;

    double doubleValue() const { return value_; }
    // Clamped into [minValue, maxValue], as AppKit's stepper does.
    void setDoubleValue(double value);
    // The value as the field shows it (its "numberFormat").
    std::string stringValue() const;
    double increment() const { return increment_; }
    void setIncrement(double increment);
    double minValue() const { return min_; }
    double maxValue() const { return max_; }
    void setMinValue(double value);  // keeps doubleValue within the new limits
    void setMaxValue(double value);
    bool valueWraps() const { return wraps_; }
    void setValueWraps(bool wraps) { wraps_ = wraps; }

    // A click on an arrow: `steps` increments up (positive) or down
    // (negative), stopping at the limits (or wrapping around when
    // valueWraps); the action is sent when the value changed. Nothing
    // happens while disabled.
    void click(int steps);
    // Takes a typed value (takeDoubleValueFrom: of the field, then the
    // action): within [minValue, maxValue] it becomes the value and the
    // action is sent once, when the value changed. False, changing nothing,
    // for a value outside the limits (or not finite) or while disabled.
    bool takeDoubleValue(double value);
    // A value typed into the field and confirmed: refused (false) as
    // takeDoubleValue refuses; else handed to the field action when there is
    // one, or taken at once.
    bool enterTypedValue(double value);
    void setFieldAction(FieldAction action) { fieldAction_ = std::move(action); }

protected:
    bool acceptsView(QWidget* widget) const override;
    void attachView(QWidget* widget) override;
    void updateView() override;

private:
    bool acceptsValue(double value) const;
    double value_ = 0.0;
    double increment_ = 1.0;
    double min_ = 0.0;
    double max_ = 59.0;  // AppKit's default maximum
    bool wraps_ = false;
    std::string format_ = "%g";
    FieldAction fieldAction_;
};

// A table (QTableWidget) whose rows come from a data source. With rows, it
// always keeps exactly one row selected: the first after loading, and the
// user cannot clear the selection.
class NSTableView : public NSControl {
public:
    using NumberOfRows = std::function<int()>;
    using ObjectValue = std::function<std::string(int row, int column)>;
    using SelectionDidChange = std::function<void(const NSNotification&)>;

    // Columns are those of the widget (or `columns` when unconnected).
    void setDataSource(NumberOfRows numberOfRows, ObjectValue objectValue, int columns = 0);
    // tableViewSelectionDidChange: of the delegate.
    void setDelegate(SelectionDidChange selectionDidChange);

    // Reads the rows again; keeps the selected row when it still exists, else
    // selects the first row (without a notification, as at loading).
    void reloadData();
    int numberOfRows() const { return static_cast<int>(rows_.size()); }
    int numberOfColumns() const { return columns_; }
    std::string stringValue(int row, int column) const;

    int selectedRow() const { return selectedRow_; }  // -1: none
    // Selects one row and tells the delegate when the selection changed.
    // False for a row that does not exist.
    bool selectRow(int row);

    static constexpr const char* NSTableViewSelectionDidChangeNotification =
        "NSTableViewSelectionDidChangeNotification";

protected:
    bool acceptsView(QWidget* widget) const override;
    void attachView(QWidget* widget) override;
    void updateView() override;

private:
    void userSelected(int row);
    NumberOfRows numberOfRowsSource_;
    ObjectValue objectValueSource_;
    SelectionDidChange delegate_;
    std::vector<std::vector<std::string>> rows_;
    int columns_ = 0;
    int selectedRow_ = -1;
    bool updating_ = false;
};

// An indeterminate progress indicator: a QProgressBar, or a widget holding
// one beside its text (the whole widget shows and hides). It shows activity
// between startAnimation and stopAnimation; while stopped it is hidden when
// not displayedWhenStopped (the widget's "displayedWhenStopped" property in
// the .ui file; default true, as in AppKit). Hidden, it keeps its place in
// the layout, as a hidden view does.
class NSProgressIndicator : public NSControl {
public:
    ~NSProgressIndicator() override;
    void startAnimation(const void* sender);
    void stopAnimation(const void* sender);
    bool isAnimating() const { return animating_; }
    // With threaded animation the indicator moves, and its window draws,
    // while the main thread waits for the cards (host::setDriverWaitHook):
    // input is not handled meanwhile, only drawing and timers.
    void setUsesThreadedAnimation(bool threaded) { usesThreadedAnimation_ = threaded; }
    bool usesThreadedAnimation() const { return usesThreadedAnimation_; }
    void setDisplayedWhenStopped(bool displayed);
    bool isDisplayedWhenStopped() const { return displayedWhenStopped_; }
    // Shown now: animating, or displayed when stopped.
    bool isShown() const { return animating_ || displayedWhenStopped_; }

protected:
    bool acceptsView(QWidget* widget) const override;
    void attachView(QWidget* widget) override;
    void updateView() override;

private:
    bool animating_ = false;
    bool displayedWhenStopped_ = true;
    bool usesThreadedAnimation_ = false;
    bool drawingWhileWaiting_ = false;
};

using NSFocusRingType = int;
inline constexpr NSFocusRingType NSFocusRingTypeDefault = 0;
inline constexpr NSFocusRingType NSFocusRingTypeNone = 1;

// The scroll view around a table (any widget: a QAbstractScrollArea, or the
// frame that holds the table).
class NSScrollView : public NSControl {
public:
    void setFocusRingType(NSFocusRingType type);
    NSFocusRingType focusRingType() const { return focusRingType_; }

protected:
    bool acceptsView(QWidget* widget) const override;
    void attachView(QWidget* widget) override;
    void updateView() override;

private:
    NSFocusRingType focusRingType_ = NSFocusRingTypeDefault;
};
