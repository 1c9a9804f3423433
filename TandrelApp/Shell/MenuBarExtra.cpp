#include "TandrelApp/Shell/MenuBarExtra.h"

#include <algorithm>

#include <QCursor>
#include <QEvent>
#include <QGuiApplication>
#include <QScreen>
#include <QVBoxLayout>

#include "TandrelApp/Shell/ProductIcon.h"

MenuBarExtra::MenuBarExtra(ContentFactory content, std::function<void()> onPanelAppear)
    : content_(std::move(content))
    , onPanelAppear_(std::move(onPanelAppear))
    , item_(std::make_unique<StatusItem>(ProductIcon::icon(), QStringLiteral("Corvane"))) {
    item_->setAction([this](StatusBarButton::Click) { togglePanel(); });
    item_->show();
}

MenuBarExtra::~MenuBarExtra() = default;

StatusBarButton* MenuBarExtra::button() {
    return StatusItem::isAvailable() ? item_.get() : nullptr;
}

QWidget& MenuBarExtra::panel() {
    if (!panel_) {
        panel_ = std::make_unique<QWidget>(nullptr, Qt::Popup);
        panel_->setObjectName(QStringLiteral("menu-bar-panel"));
        auto* layout = new QVBoxLayout(panel_.get());
        layout->setContentsMargins(0, 0, 0, 0);
        if (content_) {
            layout->addWidget(content_().release());
        }
        panel_->installEventFilter(this);
    }
    return *panel_;
}

void MenuBarExtra::togglePanel() {
    QWidget& shown = panel();
    if (shown.isVisible()) {
        shown.hide();
        return;
    }
    // A click on the icon while the panel is open first closes the panel as a click outside it; that
    // same click must not open it again.
    if (sinceHidden_.isValid() && sinceHidden_.elapsed() < 300) {
        return;
    }
    shown.adjustSize();
    placePanel();
    shown.show();
}

bool MenuBarExtra::eventFilter(QObject* watched, QEvent* event) {
    if (watched == panel_.get() && event->type() == QEvent::Show && onPanelAppear_) {
        onPanelAppear_();
    }
    if (watched == panel_.get() && event->type() == QEvent::Hide) {
        sinceHidden_.start();
    }
    // The panel grows and shrinks with its content (rows unfolded, sources added) while it is open;
    // it stays at the icon and inside the screen.
    if (watched == panel_.get() && event->type() == QEvent::Resize && panel_->isVisible()) {
        placePanel();
    }
    return false;
}

// Below the icon when the tray is at the top of the screen, above it otherwise; at the pointer when the
// tray does not tell where the icon is. Always inside the screen.
void MenuBarExtra::placePanel() {
    const QRect icon = item_->screenGeometry();
    const QPoint anchor = icon.isEmpty() ? QCursor::pos() : icon.center();
    QScreen* screen = QGuiApplication::screenAt(anchor);
    if (screen == nullptr) {
        screen = QGuiApplication::primaryScreen();
    }
    const QRect area = screen != nullptr ? screen->availableGeometry() : QRect(anchor, panel_->size());
    QPoint at(anchor.x() - panel_->width() / 2, icon.isEmpty() ? anchor.y() : icon.bottom() + 1);
    if (at.y() + panel_->height() > area.bottom()) {
        at.setY((icon.isEmpty() ? anchor.y() : icon.top()) - panel_->height());
    }
    at.setX(std::clamp(at.x(), area.left(), std::max(area.left(), area.right() - panel_->width())));
    at.setY(std::clamp(at.y(), area.top(), std::max(area.top(), area.bottom() - panel_->height())));
    panel_->move(at);
}
