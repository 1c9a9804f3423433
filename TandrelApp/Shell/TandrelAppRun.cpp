// A whole application run: the Qt application, the emulated audio server, the application's windows
// and its event loop.
#include "TandrelApp/Shell/TandrelApp.h"

#include <chrono>
#include <exception>
#include <optional>
#include <string>
#include <vector>

#include <QApplication>
#include <QFont>
#include <QFontDatabase>
#include <QPointer>

#include "Platform/AudioServer/AudioServer.h"
#include "Platform/System/Desktop/BundleInfo.h"
#include "Platform/Workspace/Workspace.h"
#include "TandrelApp/Shell/Main.h"
#include "TandrelApp/Shell/ProductIcon.h"
#include "TandrelApp/Shell/QtTranslations.h"
#include "TandrelApp/Shell/SingleInstance.h"
#include "TandrelApp/Shell/TerminationSignals.h"
#include "TandrelApp/Support/AudioServerStart.h"
#include "TandrelApp/Support/Log.h"
#include "TandrelApp/Support/SpawnOnMain.h"
#include "TandrelApp/Support/TaskGroup.h"

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

// What the run started returns before the process ends, so no task is left suspended at exit. Its calls
// to the audio server are bounded by their time-outs; the limit only guards against a task that never
// returns.
void windDownTasks() {
    TaskGroup::windDownAll();
    if (!TaskGroup::waitForAll(std::chrono::seconds(10))) {
        Log::console(std::to_string(TaskGroup::liveTasksOfAllGroups()) + " tasks were still running at quit");
    }
}

void warnAboutUnknownArguments() {
    const QStringList arguments = QApplication::arguments();
    std::vector<std::string> elements;
    for (const QString& argument : arguments) {
        elements.push_back(argument.toStdString());
    }
    for (const std::string& warning : Main::applicationArgumentWarnings(elements)) {
        Log::console(warning);
    }
}

// Another copy runs with this configuration: it shows its mixer window instead, and this start ends.
// Returns the exit status, or nothing when that copy turned out to be gone and this one may start.
std::optional<int> handOverToRunningCopy(SingleInstance& instance) {
    if (QApplication::arguments().contains(QStringLiteral("--reset-settings"))) {
        // The running copy would write its own configuration over the reset one.
        Log::console("Corvane is already running; quit it before resetting its settings");
        return 1;
    }
    if (instance.askRunningCopyToShowMixer(std::chrono::seconds(10))) {
        return 0;
    }
    if (instance.claim()) {
        return std::nullopt;
    }
    Log::console("Corvane is already running but does not answer; this start ends");
    return 1;
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
    warnAboutUnknownArguments();
    const auto instance = SingleInstance::forApplication();
    if (!instance->claim()) {
        if (const auto status = handOverToRunningCopy(*instance)) {
            return *status;
        }
    }
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
        instance->listen([running = QPointer<TandrelApp>(&application)] {
            if (running) {
                running->windows().open(QStringLiteral("router"));
            }
        });
        status = QApplication::exec();
    }
    windDownTasks();
    AudioServer::stop();
    return status;
}
