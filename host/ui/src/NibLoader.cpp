#include "NibLoader.h"

#include "HostStepper.h"

namespace hostui {

QWidget* NibLoader::createWidget(const QString& className, QWidget* parent, const QString& name) {
    if (className == QLatin1String("HostStepper")) {
        auto* stepper = new HostStepper(parent);
        stepper->setObjectName(name);
        return stepper;
    }
    return QUiLoader::createWidget(className, parent, name);
}

}  // namespace hostui
