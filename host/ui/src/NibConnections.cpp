// The outlets of a loaded interface: a pane connects each of its controls to
// the widget of that name.
#include <QWidget>

#include "host/Log.h"
#include "host/NSControl.h"
#include "host/NibConnections.h"

bool NibConnections::connect(NSControl& outlet, const std::string& name) {
    if (root_ == nullptr) return false;
    const QString objectName = QString::fromStdString(name);
    QWidget* widget =
        root_->objectName() == objectName ? root_ : root_->findChild<QWidget*>(objectName);
    if (widget == nullptr || !outlet.connectView(widget)) {
        NSLog("Interface: no usable object \"%s\" for an outlet", name.c_str());
        return false;
    }
    outlets_[name] = &outlet;
    return true;
}
