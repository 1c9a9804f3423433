#include "TandrelApp/Shell/ConfigFileAlerts.h"

#include <QTimer>

#include "Platform/System/Desktop/ApplicationActivation.h"
#include "TandrelApp/Routing/RoutingConfigStore.h"
#include "TandrelApp/Routing/RoutingController.h"

namespace ConfigFileAlerts {
namespace {

// Not from inside the save or the launch that found the problem: the alert runs its own event loop.
void showLater(QObject& context, AlertSpec alert) {
    QTimer::singleShot(0, &context, [alert = std::move(alert)] {
        ApplicationActivation::activateIgnoringOtherApps();
        Alerts::shared().run(alert);
    });
}

} // namespace

AlertSpec setAside(const QString& movedTo) {
    AlertSpec alert;
    alert.style = AlertSpec::Style::warning;
    alert.message = "保存されていた設定を読み込めませんでした";
    alert.informativeText = "routing.json を読み込めなかったため、初期状態の設定で起動しました。\n\n"
                            "元のファイルは次の場所に移しました:\n" +
                            movedTo.toStdString();
    alert.buttons = {{"OK", false, true}};
    return alert;
}

AlertSpec cannotSave(const std::string& reason, const QString& file) {
    AlertSpec alert;
    alert.style = AlertSpec::Style::warning;
    alert.message = "設定の変更を保存できません";
    alert.informativeText =
        "保存できるようになるまで、音源・接続・音量などの変更は Corvane を終了すると失われます。\n\n" +
        reason + "\n\n保存先: " + file.toStdString();
    alert.buttons = {{"OK", false, true}};
    return alert;
}

void watch(RoutingController& controller, const std::optional<QString>& setAsidePath) {
    if (setAsidePath) {
        showLater(controller, setAside(*setAsidePath));
    }
    QObject::connect(
        &controller, &RoutingController::saveFailed, &controller, [&controller](const QString& description) {
            showLater(controller, cannotSave(description.toStdString(), RoutingConfigStore::url()));
        });
}

} // namespace ConfigFileAlerts
