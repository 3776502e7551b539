#include "FocusRing.h"

#include <QApplication>
#include <QEvent>
#include <QPainter>
#include <QPainterPath>
#include <QVariant>

namespace hostui {

namespace {
constexpr int kRingWidth = 3;
}  // namespace

FocusRing::FocusRing(QWidget* view) : QWidget(view) {
    setObjectName(QStringLiteral("focusRing"));
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setAttribute(Qt::WA_NoSystemBackground);
    setFocusPolicy(Qt::NoFocus);
    setGeometry(view->rect());
    view->installEventFilter(this);
    connect(qApp, &QApplication::focusChanged, this,
            [this](QWidget*, QWidget* now) { follow(now); });
    raise();
    follow(QApplication::focusWidget());
}

bool FocusRing::wantsRing(const QWidget* widget) const {
    if (widget == nullptr || !parentWidget()->isAncestorOf(widget)) return false;
    for (const QWidget* w = widget; w != nullptr && w != parentWidget(); w = w->parentWidget())
        if (w->property(kFocusRingTypeProperty).toInt() == kNoFocusRing) return false;
    return true;
}

void FocusRing::follow(QWidget* focused) {
    QWidget* target = wantsRing(focused) ? focused : nullptr;
    if (target == target_) return;
    if (target_ != nullptr) target_->removeEventFilter(this);
    target_ = target;
    if (target_ != nullptr) target_->installEventFilter(this);
    raise();
    update();
}

bool FocusRing::eventFilter(QObject* watched, QEvent* event) {
    if (watched == parentWidget() && event->type() == QEvent::Resize)
        setGeometry(parentWidget()->rect());
    if (watched == target_ || watched == parentWidget()) {
        switch (event->type()) {
        case QEvent::Move:
        case QEvent::Resize:
        case QEvent::Show:
        case QEvent::Hide:
        case QEvent::EnabledChange: update(); break;
        default: break;
        }
    }
    return QWidget::eventFilter(watched, event);
}

void FocusRing::paintEvent(QPaintEvent*) {
    if (target_ == nullptr || !target_->isVisible() || !target_->hasFocus()) return;
    const QRect around(target_->mapTo(parentWidget(), QPoint(0, 0)), target_->size());
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    QColor ring = palette().color(QPalette::Active, QPalette::Highlight);
    ring.setAlpha(150);
    p.setPen(QPen(ring, kRingWidth));
    p.setBrush(Qt::NoBrush);
    const qreal half = kRingWidth / 2.0;
    p.drawRoundedRect(QRectF(around).adjusted(-half, -half, half, half), 4, 4);
}

}  // namespace hostui
