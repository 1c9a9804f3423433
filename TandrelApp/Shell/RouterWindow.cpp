#include "TandrelApp/Shell/RouterWindow.h"

#include <algorithm>

#include <QCoreApplication>
#include <QMenuBar>
#include <QResizeEvent>
#include <QScreen>
#include <QShowEvent>
#include <QStyle>
#include <QTimer>

namespace {

// Room the desktop's title bar and borders take around a window, in pixels.
constexpr QSize kFrameAllowance{16, 48};

} // namespace

RouterWindow::RouterWindow(std::unique_ptr<QWidget> content, Commands commands)
    : commands_(std::move(commands)) {
    setWindowTitle(QStringLiteral("Corvane"));
    setCentralWidget(content.release());
    buildApplicationMenu();
    sourceMenu_ = addRebuiltMenu(QStringLiteral("音源"), commands_.addSourceItems);
    monitorMenu_ = addRebuiltMenu(QStringLiteral("モニター先"), commands_.addMonitorItems);
    buildWindowMenu();
}

void RouterWindow::fitToContent() {
    // A size hint that changed travels up one layout per posted request: let every level take it in.
    for (int level = 0; level < 8; ++level) {
        QCoreApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
    }
    const QScreen* screen = this->screen();
    if (screen == nullptr) {
        resize(sizeHint().expandedTo(minimumSizeHint()));
        return;
    }
    const QRect area = screen->availableGeometry();
    // The desktop's title bar and borders, once it has drawn them; an allowance before.
    const QSize decoration = isVisible() ? frameGeometry().size() - size() : kFrameAllowance;
    const QSize available = area.size() - decoration;
    // Where the screen cuts the matrix in one direction, its scroll bar takes room in the other.
    QSize wanted = sizeHint();
    const int bar = style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, this);
    if (wanted.width() > available.width()) {
        wanted.rheight() += bar;
    }
    if (wanted.height() > available.height()) {
        wanted.rwidth() += bar;
    }
    const QSize size = wanted.boundedTo(available).expandedTo(minimumSizeHint());
    // A window already on screen moves as far as it must to keep its new frame on the screen: desktops
    // cut a window that would reach past the edge.
    if (isVisible()) {
        const QRect frame(frameGeometry().topLeft(), size + decoration);
        const int x = std::max(area.left(), std::min(frame.left(), area.right() + 1 - frame.width()));
        const int y = std::max(area.top(), std::min(frame.top(), area.bottom() + 1 - frame.height()));
        if (QPoint(x, y) != frame.topLeft()) {
            move(x, y);
        }
    }
    resize(size);
}

void RouterWindow::followContentSize() {
    followsContent_ = true;
    fitToContent();
}

bool RouterWindow::event(QEvent* event) {
    const bool handled = QMainWindow::event(event);
    // The layout has taken a new size hint in: fit once the current burst of changes is over.
    if (event->type() == QEvent::LayoutRequest && followsContent_ && !fitPending_) {
        fitPending_ = true;
        QTimer::singleShot(0, this, [this] {
            fitPending_ = false;
            if (followsContent_) {
                fitToContent();
            }
        });
    }
    return handled;
}

void RouterWindow::resizeEvent(QResizeEvent* event) {
    QMainWindow::resizeEvent(event);
    // The desktop's resize is the user's: the window is theirs from now on.
    if (event->spontaneous()) {
        followsContent_ = false;
    }
}

void RouterWindow::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    if (!event->spontaneous()) {
        emit appeared();
    }
}

// The update commands, the reset, the settings and quitting, each group apart.
void RouterWindow::buildApplicationMenu() {
    applicationMenu_ = menuBar()->addMenu(QStringLiteral("Corvane"));
    if (commands_.addUpdateCommands) {
        commands_.addUpdateCommands(*applicationMenu_);
    }
    applicationMenu_->addSeparator();
    if (commands_.resetSettings) {
        applicationMenu_->addAction(QStringLiteral("設定を初期化…"), this, commands_.resetSettings);
    }
    applicationMenu_->addSeparator();
    if (commands_.openSettings) {
        applicationMenu_->addAction(QStringLiteral("設定…"), QKeySequence(Qt::CTRL | Qt::Key_Comma), this,
                                    commands_.openSettings);
    }
    applicationMenu_->addSeparator();
    if (commands_.quit) {
        applicationMenu_->addAction(QStringLiteral("Corvane を終了"), QKeySequence(Qt::CTRL | Qt::Key_Q),
                                    this, commands_.quit);
    }
}

void RouterWindow::buildWindowMenu() {
    windowMenu_ = menuBar()->addMenu(QStringLiteral("ウインドウ"));
    windowMenu_->addAction(QStringLiteral("しまう"), QKeySequence(Qt::CTRL | Qt::Key_M), this,
                           &QWidget::showMinimized);
    if (commands_.openCaptureLab) {
        windowMenu_->addSeparator();
        windowMenu_->addAction(QStringLiteral("Capture Lab（取り込みの動作確認）"), this,
                               commands_.openCaptureLab);
    }
}

QMenu* RouterWindow::addRebuiltMenu(const QString& title, std::function<void(QMenu&)> fill) {
    QMenu* menu = menuBar()->addMenu(title);
    if (fill) {
        connect(menu, &QMenu::aboutToShow, this, [menu, fill] {
            menu->clear();
            fill(*menu);
        });
    }
    return menu;
}
