#include "TandrelApp/Shell/RouterWindow.h"

#include <QMenuBar>
#include <QShowEvent>

RouterWindow::RouterWindow(std::unique_ptr<QWidget> content, Commands commands)
    : commands_(std::move(commands)) {
    setWindowTitle(QStringLiteral("Corvane"));
    setCentralWidget(content.release());
    buildApplicationMenu();
    sourceMenu_ = addRebuiltMenu(QStringLiteral("音源"), commands_.addSourceItems);
    monitorMenu_ = addRebuiltMenu(QStringLiteral("モニター先"), commands_.addMonitorItems);
    buildWindowMenu();
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
