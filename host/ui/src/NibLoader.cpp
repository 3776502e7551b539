#include "NibLoader.h"

#include "HostHelpButton.h"
#include "HostStepper.h"

namespace hostui {

QWidget* NibLoader::createWidget(const QString& className, QWidget* parent, const QString& name) {
    if (className == QLatin1String("HostStepper")) {
        auto* stepper = new HostStepper(parent);
        stepper->setObjectName(name);
        return stepper;
    }
    if (className == QLatin1String("HostHelpButton")) {
        auto* button = new HostHelpButton(parent);
        button->setObjectName(name);
        return button;
    }
    return QUiLoader::createWidget(className, parent, name);
}

}  // namespace hostui
