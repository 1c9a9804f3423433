// Test entry point for the programs that need Qt's event loop: the GUI thread is the main queue.
#include <QApplication>
#include <QFont>
#include <QFontDatabase>
#include <QThreadPool>
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
    const int result = RUN_ALL_TESTS();
    // Painting hands work to Qt's pooled threads. Ended only by the application's teardown, one of them
    // can still be on its way out when the leak check runs at exit, holding its thread record; they are
    // ended here, while the teardown still gives them time to finish.
    QThreadPool::globalInstance()->waitForDone();
    return result;
}
