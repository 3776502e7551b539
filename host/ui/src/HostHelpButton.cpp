#include "HostHelpButton.h"

#include <QPainter>
#include <QPainterPath>

#include "FocusRing.h"

namespace hostui {

namespace {
constexpr int kDiameter = 22;
constexpr int kRing = 3;  // room for the focus ring around the button
}  // namespace

HostHelpButton::HostHelpButton(QWidget* parent) : QPushButton(parent) {
    setFocusPolicy(Qt::StrongFocus);
    setAutoDefault(false);
    setProperty(kFocusRingTypeProperty, kNoFocusRing);  // it draws its own
    setFixedSize(sizeHint());
    if (toolTip().isEmpty()) setToolTip(QStringLiteral("Help"));
    setAccessibleName(QStringLiteral("Help"));
}

QSize HostHelpButton::sizeHint() const { return {kDiameter + 2 * kRing, kDiameter + 2 * kRing}; }

bool HostHelpButton::hitButton(const QPoint& pos) const {
    const QPointF centre = QRectF(rect()).center();
    const QPointF d = QPointF(pos) - centre;
    return d.x() * d.x() + d.y() * d.y() <= (kDiameter / 2.0) * (kDiameter / 2.0);
}

void HostHelpButton::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF circle(kRing + 0.5, kRing + 0.5, kDiameter - 1, kDiameter - 1);
    const QPalette& pal = palette();
    if (hasFocus()) {
        QColor ring = pal.color(QPalette::Highlight);
        ring.setAlpha(160);
        p.setPen(QPen(ring, kRing));
        p.setBrush(Qt::NoBrush);
        p.drawEllipse(circle.adjusted(-1.5, -1.5, 1.5, 1.5));
    }
    QLinearGradient face(circle.topLeft(), circle.bottomLeft());
    const QColor base = pal.color(QPalette::Button);
    face.setColorAt(0, isDown() ? base.darker(115) : base.lighter(108));
    face.setColorAt(1, isDown() ? base.darker(125) : base.darker(104));
    p.setPen(QPen(pal.color(QPalette::Mid), 1));
    p.setBrush(face);
    p.drawEllipse(circle);
    QFont font = this->font();
    font.setBold(true);
    font.setPixelSize(kDiameter * 3 / 5);
    p.setFont(font);
    p.setPen(pal.color(isEnabled() ? QPalette::Active : QPalette::Disabled, QPalette::ButtonText));
    p.drawText(circle, Qt::AlignCenter, QStringLiteral("?"));
}

}  // namespace hostui
