// Test entry point for the programs that need Qt's event loop: the GUI thread is the main queue.
#include <QApplication>
#include <gtest/gtest.h>

#include "TandrelApp/Support/SpawnOnMain.h"

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM",
            qgetenv("QT_QPA_PLATFORM").isEmpty() ? "offscreen" : qgetenv("QT_QPA_PLATFORM"));
    QApplication app(argc, argv);
    registerMainQueue();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
