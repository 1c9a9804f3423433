// Test entry point for the programs that need Qt's event loop: the GUI thread is the main queue.
#include <QApplication>
#include <QFont>
#include <QFontDatabase>
#include <gtest/gtest.h>

#include "TandrelApp/Support/SpawnOnMain.h"

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM",
            qgetenv("QT_QPA_PLATFORM").isEmpty() ? "offscreen" : qgetenv("QT_QPA_PLATFORM"));
    QApplication app(argc, argv);
    // One CJK font for every widget test, so texts and snapshots do not depend on the machine's fallback.
    if (QFontDatabase::families().contains(QStringLiteral("Noto Sans CJK JP"))) {
        QApplication::setFont(QFont(QStringLiteral("Noto Sans CJK JP")));
    }
    registerMainQueue();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
