#include "TandrelApp/Updater/UpdateCommands.h"

#include <QAction>
#include <QMenu>
#include <QPointer>

#include "TandrelApp/Support/SpawnOnMain.h"
#include "TandrelApp/Updater/UpdateChecker.h"

namespace UpdateCommands {

void checkNow(UpdateChecker& checker) {
    spawnOnMain([checker = QPointer(&checker)]() -> QCoro::Task<> {
        if (checker) {
            co_await checker->check(true);
        }
    });
}

void add(QMenu& menu, UpdateChecker& checker) {
    auto* check = menu.addAction(QStringLiteral("アップデートを確認…"));
    auto* automatic = menu.addAction(QStringLiteral("アップデートを自動で確認"));
    automatic->setCheckable(true);

    const auto refresh = [check, automatic, &checker] {
        check->setEnabled(checker.state().kind != UpdateChecker::State::Kind::checking);
        automatic->setChecked(checker.automaticChecksEnabled());
    };
    refresh();
    QObject::connect(&checker, &UpdateChecker::stateChanged, check, refresh);
    QObject::connect(&checker, &UpdateChecker::changed, automatic, refresh);
    QObject::connect(&menu, &QMenu::aboutToShow, check, refresh);
    QObject::connect(check, &QAction::triggered, &checker, [&checker] { checkNow(checker); });
    QObject::connect(automatic, &QAction::triggered, &checker,
                     [&checker](bool on) { checker.setAutomaticChecksEnabled(on); });
}

} // namespace UpdateCommands
