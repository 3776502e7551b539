// The round "?" button of Mac panes and alerts (the help bezel style): the
// promoted "HostHelpButton" of .ui files, and the Help button of alerts. It
// draws its own round focus ring.
#pragma once

#include <QPushButton>

namespace hostui {

class HostHelpButton : public QPushButton {
    Q_OBJECT

public:
    explicit HostHelpButton(QWidget* parent = nullptr);

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override { return sizeHint(); }

protected:
    void paintEvent(QPaintEvent* event) override;
    bool hitButton(const QPoint& pos) const override;
};

}  // namespace hostui
