// Tells the repeats of a held key from presses. Without detectable
// auto-repeat, X11 sends each repeat as a release and a press with the same
// timestamp, which Qt marks as a repeat only when it finds the press already
// queued behind the release; so a widget remembers the last release it got.
#pragma once

#include <QKeyEvent>

namespace hostui {

class KeyRepeat {
public:
    void released(const QKeyEvent& event) {
        key_ = event.key();
        stamp_ = event.timestamp();
    }
    bool isRepeat(const QKeyEvent& event) const {
        return event.isAutoRepeat() ||
               (event.timestamp() != 0 && event.key() == key_ && event.timestamp() == stamp_);
    }

private:
    int key_ = 0;
    quint64 stamp_ = 0;
};

}  // namespace hostui
