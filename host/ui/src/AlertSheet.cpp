#include "AlertSheet.h"

#include <QCloseEvent>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QMainWindow>
#include <QPainter>
#include <QPushButton>
#include <QStyle>
#include <QVBoxLayout>
#include <algorithm>

#include "HostHelpButton.h"
#include "host/AppleHelp.h"

namespace hostui {

namespace {
constexpr int kWidth = 460;        // a Mac alert's width
constexpr int kWindowMargin = 16;  // at least this much of the window on each side
constexpr int kIconSize = 64;
constexpr int kNarrowest = 300;
}  // namespace

AlertSheet::AlertSheet(const NSAlertRecord& alert, const QImage& icon, QWidget* window,
                       std::function<void(NSModalResponse)> answered)
    : QDialog(window, window != nullptr ? Qt::Dialog | Qt::FramelessWindowHint : Qt::Dialog),
      window_(window),
      answered_(std::move(answered)) {
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowModality(window != nullptr ? Qt::WindowModal : Qt::NonModal);
    setWindowTitle(QString::fromStdString(alert.messageText));
    setSizeGripEnabled(false);

    auto* iconLabel = new QLabel;
    if (!icon.isNull())
        iconLabel->setPixmap(QPixmap::fromImage(icon).scaled(
            kIconSize, kIconSize, Qt::KeepAspectRatio, Qt::SmoothTransformation));
    else
        iconLabel->setPixmap(style()->standardIcon(QStyle::SP_MessageBoxWarning).pixmap(kIconSize));
    iconLabel->setAlignment(Qt::AlignTop | Qt::AlignHCenter);
    iconLabel->setFixedWidth(kIconSize);

    auto* message = new QLabel(QString::fromStdString(alert.messageText));
    message->setObjectName(QStringLiteral("messageText"));
    QFont bold = message->font();
    bold.setBold(true);
    message->setFont(bold);
    message->setWordWrap(true);
    message->setTextInteractionFlags(Qt::TextSelectableByMouse);

    auto* texts = new QVBoxLayout;
    texts->setSpacing(8);
    texts->addWidget(message);
    if (alert.informativeText) {
        auto* informative = new QLabel(QString::fromStdString(*alert.informativeText));
        informative->setObjectName(QStringLiteral("informativeText"));
        informative->setWordWrap(true);
        informative->setTextInteractionFlags(Qt::TextSelectableByMouse);
        texts->addWidget(informative);
    }
    texts->addStretch(1);

    auto* top = new QHBoxLayout;
    top->setSpacing(16);
    top->addWidget(iconLabel, 0, Qt::AlignTop);
    top->addLayout(texts, 1);

    // The first button is the rightmost and the default, as AppKit lays them out.
    auto* row = new QHBoxLayout;
    if (alert.showsHelp) {
        auto* help = new HostHelpButton;
        help->setObjectName(QStringLiteral("helpButton"));
        const std::string anchor = alert.helpAnchor;
        connect(help, &QPushButton::clicked, this, [anchor] {
            if (!anchor.empty()) AHLookupAnchor(std::nullopt, anchor);
        });
        help->installEventFilter(this);
        row->addWidget(help);
    }
    row->addStretch(1);
    for (std::size_t i = 0; i < alert.buttons.size(); ++i) {
        auto* button = new QPushButton(QString::fromStdString(alert.buttons[i]));
        button->setAutoDefault(false);
        button->setDefault(i == 0);
        button->setMinimumWidth(80);
        const int index = static_cast<int>(i);
        connect(button, &QPushButton::clicked, this, [this, index] { answer(index); });
        button->installEventFilter(this);
        buttons_.push_back(button);
    }
    for (auto it = buttons_.rbegin(); it != buttons_.rend(); ++it) row->addWidget(*it);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(20, 16, 20, 16);
    layout->setSpacing(14);
    layout->addLayout(top);
    layout->addLayout(row);

    fitWidth(kWidth);
    if (!buttons_.empty()) buttons_.front()->setFocus(Qt::OtherFocusReason);
    if (window != nullptr) window->window()->installEventFilter(this);
}

AlertSheet::~AlertSheet() = default;

void AlertSheet::present() {
    if (window_ != nullptr) attachToWindow();
    open();
    raise();
    activateWindow();
}

void AlertSheet::fitWidth(int width) {
    setFixedWidth(std::max(width, kNarrowest));
    const int height = heightForWidth(this->width());
    setFixedHeight(height > 0 ? height : sizeHint().height());
}

void AlertSheet::attachToWindow() {
    QWidget* window = window_->window();
    // The window may still be taking its size (a pane's view loading).
    fitWidth(std::min(kWidth, window->width() - 2 * kWindowMargin));
    int top = 0;
    if (auto* main = qobject_cast<QMainWindow*>(window)) {
        if (QWidget* central = main->centralWidget())
            top = central->mapTo(window, QPoint(0, 0)).y();
        else if (main->menuWidget() != nullptr && main->menuWidget()->isVisible())
            top = main->menuWidget()->geometry().bottom() + 1;
    }
    const QPoint origin = window->mapToGlobal(QPoint(0, 0));
    move(origin.x() + (window->width() - width()) / 2, origin.y() + top);
}

bool AlertSheet::eventFilter(QObject* watched, QEvent* event) {
    // Keys reach the focused button before the sheet: the held key that
    // opened the sheet must not answer it through them either.
    if (watched != this && qobject_cast<QAbstractButton*>(watched) != nullptr &&
        (event->type() == QEvent::KeyPress || event->type() == QEvent::KeyRelease)) {
        const auto* key = static_cast<QKeyEvent*>(event);
        if (event->type() == QEvent::KeyRelease)
            repeat_.released(*key);
        else if (repeat_.isRepeat(*key))
            return true;
    }
    if (window_ != nullptr && watched == window_->window() &&
        (event->type() == QEvent::Move || event->type() == QEvent::Resize ||
         event->type() == QEvent::Show))
        attachToWindow();
    return QDialog::eventFilter(watched, event);
}

void AlertSheet::keyPressEvent(QKeyEvent* event) {
    // The key that opened the sheet may still be repeating: it answers nothing.
    if (repeat_.isRepeat(*event)) {
        event->accept();
        return;
    }
    if (event->key() == Qt::Key_Escape && event->modifiers() == Qt::NoModifier) {
        event->accept();
        if (const std::optional<int> cancel = cancelButton()) answer(*cancel);
        return;
    }
    QDialog::keyPressEvent(event);
}

void AlertSheet::keyReleaseEvent(QKeyEvent* event) {
    repeat_.released(*event);
    QDialog::keyReleaseEvent(event);
}

void AlertSheet::closeEvent(QCloseEvent* event) {
    // Closed from outside (the application quitting, a window manager's
    // close): answered as Escape answers, else by its only button, so that
    // nothing waits for an answer that cannot come.
    if (!done_) answer(cancelButton().value_or(0));
    event->accept();
}

std::optional<int> AlertSheet::cancelButton() const {
    for (std::size_t i = 0; i < buttons_.size(); ++i)
        if (buttons_[i]->text() == QLatin1String("Cancel")) return static_cast<int>(i);
    return std::nullopt;
}

void AlertSheet::paintEvent(QPaintEvent* event) {
    QDialog::paintEvent(event);
    if (window_ == nullptr) return;
    // A sheet has no frame from the window manager: draw its edge.
    QPainter p(this);
    p.setPen(palette().color(QPalette::Dark));
    p.drawRect(rect().adjusted(0, 0, -1, -1));
}

void AlertSheet::answer(int buttonIndex) {
    if (done_) return;
    done_ = true;
    if (window_ != nullptr) window_->window()->removeEventFilter(this);
    // Gone before the handler runs, which may begin the next sheet.
    hide();
    std::function<void(NSModalResponse)> answered = std::move(answered_);
    deleteLater();
    if (answered) answered(NSAlertFirstButtonReturn + buttonIndex);
}

}  // namespace hostui
