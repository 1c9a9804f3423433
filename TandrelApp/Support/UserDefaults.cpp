#include "TandrelApp/Support/UserDefaults.h"

#include <cmath>

#include <QStandardPaths>

#include "Platform/Workspace/Workspace.h"

UserDefaults& UserDefaults::standard() {
    static UserDefaults* defaults = new UserDefaults;
    return *defaults;
}

std::string UserDefaults::domain() const {
    return Workspace::ownBundleIdentifier().value_or("qorvix.tandrel.app");
}

QVariant UserDefaults::value(const QString& key) const {
    return persistentDomain(domain())->value(key);
}

bool UserDefaults::contains(const QString& key) const {
    return persistentDomain(domain())->contains(key);
}

std::optional<QString> UserDefaults::string(const QString& key) const {
    const QVariant stored = value(key);
    if (!stored.isValid() || !stored.canConvert<QString>()) {
        return std::nullopt;
    }
    return stored.toString();
}

std::optional<double> UserDefaults::doubleValue(const QString& key) const {
    bool ok = false;
    const double number = value(key).toDouble(&ok);
    if (!ok || !std::isfinite(number)) {
        return std::nullopt;
    }
    return number;
}

void UserDefaults::set(const QString& key, const QVariant& value) {
    auto settings = persistentDomain(domain());
    settings->setValue(key, value);
    settings->sync();
    emit changed(key);
}

void UserDefaults::remove(const QString& key) {
    auto settings = persistentDomain(domain());
    settings->remove(key);
    settings->sync();
    emit changed(key);
}

std::unique_ptr<QSettings> UserDefaults::persistentDomain(const std::string& name) {
    const QString folder = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
    return std::make_unique<QSettings>(folder + QStringLiteral("/") + QString::fromStdString(name) +
                                           QStringLiteral(".conf"),
                                       QSettings::IniFormat);
}

void UserDefaults::removePersistentDomain(const std::string& name) {
    auto settings = persistentDomain(name);
    const QStringList keys = settings->allKeys();
    settings->clear();
    settings->sync();
    UserDefaults& defaults = standard();
    if (name == defaults.domain()) {
        for (const QString& key : keys) {
            emit defaults.changed(key);
        }
    }
}
