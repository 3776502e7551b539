#include <QAbstractButton>
#include <QApplication>
#include <QFile>
#include <QPointer>
#include <QVariant>
#include <QWidget>

#include "FocusRing.h"
#include "InputGate.h"
#include "NibLoader.h"
#include "host/Log.h"
#include "host/NotificationCenter.h"
#include "host/NSButton.h"
#include "host/NSPreferencePane.h"
#include "host/NibConnections.h"

namespace {
// Gives the view's initial key view the focus when the view first appears in
// a window, as System Preferences makes a pane's initialKeyView the window's
// first responder.
class InitialKeyView : public QObject {
public:
    InitialKeyView(QWidget* view, QWidget* keyView) : QObject(view), keyView_(keyView) {
        view->installEventFilter(this);
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Show) {
            if (!keyView_.isNull() && keyView_->isEnabled() &&
                keyView_->focusPolicy() != Qt::NoFocus)
                keyView_->setFocus(Qt::OtherFocusReason);
            watched->removeEventFilter(this);
            deleteLater();
        }
        return QObject::eventFilter(watched, event);
    }

private:
    QPointer<QWidget> keyView_;
};
}  // namespace

struct NSPreferencePane::MainView {
    QPointer<QWidget> view;
    // Buttons bound to a value without being an outlet of the pane.
    std::vector<std::unique_ptr<NSButton>> boundButtons;

    ~MainView() {
        boundButtons.clear();
        // A window that took the view over deletes it itself.
        if (!view.isNull() && view->parent() == nullptr) delete view.data();
    }
};

NSPreferencePane::NSPreferencePane() = default;

NSPreferencePane::~NSPreferencePane() {
    // Foundation drops the registrations of an observer that goes away; do
    // the same so nothing is delivered to a destroyed pane.
    NSNotificationCenter::defaultCenter().removeObserver(this);
}

bool NSPreferencePane::initWithBundle(std::shared_ptr<NSBundle> bundle) {
    if (!bundle) return false;
    bundle_ = std::move(bundle);
    return true;
}

NSView* NSPreferencePane::mainView() {
    if (mainView_ && !mainView_->view.isNull()) return mainView_->view.data();
    return loadMainView();
}

NSView* NSPreferencePane::loadMainView() {
    if (!bundle_) return nullptr;
    if (qobject_cast<QApplication*>(QCoreApplication::instance()) == nullptr) {
        NSLog("Interface: a pane's view needs a running QApplication");
        return nullptr;
    }
    const cf::Value* nibValue = bundle_->infoDictionary().get("NSMainNibFile");
    const std::string* nibName = nibValue != nullptr ? nibValue->string() : nullptr;
    if (nibName == nullptr) {
        NSLog("Interface: %s has no NSMainNibFile", bundle_->bundlePath().c_str());
        return nullptr;
    }
    const std::optional<std::string> path = bundle_->pathForResource(*nibName, "ui");
    if (!path) {
        NSLog("Interface: %s.ui is missing from %s", nibName->c_str(),
              bundle_->bundlePath().c_str());
        return nullptr;
    }
    QFile file(QString::fromStdString(*path));
    if (!file.open(QIODevice::ReadOnly)) {
        NSLog("Interface: cannot read %s", path->c_str());
        return nullptr;
    }
    hostui::NibLoader loader;
    QWidget* root = loader.load(&file, nullptr);
    if (root == nullptr) {
        NSLog("Interface: %s does not load: %s", path->c_str(),
              loader.errorString().toUtf8().constData());
        return nullptr;
    }

    mainView_ = std::make_unique<MainView>();
    mainView_->view = root;
    outlets_.clear();
    NibConnections nib(outlets_, root);
    connectOutlets(nib);

    // Bindings: a button with a "bindValue" property shows that value of the
    // pane and writes every change back to it.
    QList<QAbstractButton*> buttons = root->findChildren<QAbstractButton*>();
    for (QAbstractButton* button : buttons) {
        const QVariant binding = button->property("bindValue");
        if (!binding.isValid()) continue;
        const std::string key = binding.toString().toStdString();
        NSButton* target = nullptr;
        for (const auto& [name, control] : outlets_)
            if (control->view() == button) target = dynamic_cast<NSButton*>(control);
        if (target == nullptr) {
            mainView_->boundButtons.push_back(std::make_unique<NSButton>());
            target = mainView_->boundButtons.back().get();
            target->connectView(button);
        }
        target->bindValue([this, key] { return valueForKey(key).value_or(0); },
                          [this, key](std::int64_t value) { setValueForKey(value, key); });
    }

    mainViewDidLoad();

    // Keyboard: the ring around the focused control, the control that has
    // the focus first, and no input acted on late after the pane held the
    // main thread.
    new hostui::FocusRing(root);
    const QVariant initial = root->property("initialKeyView");
    if (initial.isValid())
        if (auto* keyView = root->findChild<QWidget*>(initial.toString()))
            new InitialKeyView(root, keyView);
    hostui::InputGate::instance();
    return root;
}

NSControl* NSPreferencePane::outletNamed(const std::string& name) const {
    auto found = outlets_.find(name);
    return found != outlets_.end() ? found->second : nullptr;
}

std::optional<std::int64_t> NSPreferencePane::valueForKey(const std::string&) const {
    return std::nullopt;
}

bool NSPreferencePane::setValueForKey(std::int64_t, const std::string&) { return false; }

void NSPreferencePane::connectOutlets(NibConnections&) {}
