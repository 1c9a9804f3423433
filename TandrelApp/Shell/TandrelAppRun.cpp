// A whole application run: the Qt application, the emulated audio server, the application's windows
// and its event loop.
#include "TandrelApp/Shell/TandrelApp.h"

#include <exception>
#include <string>

#include <QApplication>
#include <QFont>
#include <QFontDatabase>

#include "Platform/AudioServer/AudioServer.h"
#include "Platform/System/Desktop/BundleInfo.h"
#include "Platform/Workspace/Workspace.h"
#include "TandrelApp/Shell/ProductIcon.h"
#include "TandrelApp/Shell/QtTranslations.h"
#include "TandrelApp/Shell/TerminationSignals.h"
#include "TandrelApp/Support/AudioServerStart.h"
#include "TandrelApp/Support/Log.h"
#include "TandrelApp/Support/SpawnOnMain.h"

namespace {

// The texts are Japanese: one CJK font for all of them, where the system has it.
void useJapaneseFont() {
    const QString family = QStringLiteral("Noto Sans CJK JP");
    if (QFontDatabase::families().contains(family)) {
        QFont font(family);
        font.setPointSizeF(QApplication::font().pointSizeF());
        QApplication::setFont(font);
    }
}

} // namespace

int TandrelApp::run(int& argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Corvane"));
    QApplication::setApplicationDisplayName(QStringLiteral("Corvane"));
    QApplication::setDesktopFileName(QStringLiteral("qorvix.tandrel.app"));
    QApplication::setWindowIcon(ProductIcon::icon());
    // Closing the last window leaves the application in the tray; the delegate decides otherwise.
    QApplication::setQuitOnLastWindowClosed(false);
    useJapaneseFont();
    const QtTranslations qtTexts;
    registerMainQueue();
    Workspace::setOwnBundleIdentifier(BundleInfo::bundleIdentifier());
    TerminationSignals::quitOnTermination();

    try {
        AudioServerStart::start();
    } catch (const std::exception& error) {
        Log::console(std::string("the audio server could not start: ") + error.what());
        return 1;
    }
    int status = 0;
    {
        TandrelApp application(QApplication::arguments());
        application.launch();
        status = QApplication::exec();
    }
    AudioServer::stop();
    return status;
}
