// Loads a pane's interface description (.ui) with the host's own widgets.
#pragma once

#include <QUiLoader>

namespace hostui {

// A QUiLoader that also creates the promoted "HostStepper" and
// "HostHelpButton" widgets.
class NibLoader : public QUiLoader {
public:
    using QUiLoader::QUiLoader;
    QWidget* createWidget(const QString& className, QWidget* parent = nullptr,
                          const QString& name = QString()) override;
};

}  // namespace hostui
