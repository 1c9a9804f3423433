#include "TandrelApp/Shell/QtTranslations.h"

#include <QCoreApplication>
#include <QLibraryInfo>

#include "TandrelApp/Support/Log.h"

QtTranslations::QtTranslations() {
    const QString folder = QLibraryInfo::path(QLibraryInfo::TranslationsPath);
    if (!translator_.load(QStringLiteral("qtbase_ja"), folder)) {
        Log::app("App")->warn("Qt's Japanese texts are not in {} (qt6-translations-l10n): its own texts "
                              "stay English",
                              folder.toStdString());
        return;
    }
    installed_ = QCoreApplication::installTranslator(&translator_);
}

QtTranslations::~QtTranslations() {
    if (installed_) {
        QCoreApplication::removeTranslator(&translator_);
    }
}
