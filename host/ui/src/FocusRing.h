// The focus ring of a pane's controls, as AppKit draws it: a soft outline in
// the highlight colour around the control that has the keyboard focus (a
// table's ring goes around the table), drawn above the view so no neighbour
// covers it, and only while the window is the active one. A control with
// Qt::WA_MacShowFocusRect off (a scroll view whose focus ring type is none,
// or a control that draws its own ring) gets none.
#pragma once

#include <QPointer>
#include <QWidget>

namespace hostui {

inline constexpr const char* kFocusRingTypeProperty = "focusRingType";
inline constexpr int kNoFocusRing = 1;  // NSFocusRingTypeNone

class FocusRing : public QWidget {
    Q_OBJECT

public:
    // Draws the rings of the controls inside `view`, as a child of it.
    explicit FocusRing(QWidget* view);

protected:
    void paintEvent(QPaintEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void follow(QWidget* focused);
    bool wantsRing(const QWidget* widget) const;

    QPointer<QWidget> target_;
};

}  // namespace hostui
