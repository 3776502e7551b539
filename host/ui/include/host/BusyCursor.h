// The busy cursor over the application's windows while the main thread is
// held by work the user waits for (a card operation, a pane being created),
// as a Mac shows it while an application does not answer. When the outermost
// one ends, the presses, clicks and wheel turns that arrived meanwhile are
// dropped rather than acted on late. Nothing happens without a
// QGuiApplication; nesting is allowed.
#pragma once

namespace host {

class BusyCursor {
public:
    BusyCursor();
    ~BusyCursor();
    BusyCursor(const BusyCursor&) = delete;
    BusyCursor& operator=(const BusyCursor&) = delete;

private:
    bool shown_ = false;
};

}  // namespace host
