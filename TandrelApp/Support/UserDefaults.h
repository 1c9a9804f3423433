// The application's user defaults (TDUIScale, TDSettingsTab, the updater's keys): one settings file per
// defaults domain, the application's own named after its bundle identifier, in the XDG configuration
// folder. Windows, panes and the updater read and write their keys through standard(), which announces
// each change so views update in place; the reset of settings removes the whole domain. GUI thread only.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include <QObject>
#include <QSettings>
#include <QString>
#include <QVariant>

class UserDefaults : public QObject {
    Q_OBJECT

public:
    // The application's own domain: the program's bundle identifier (Workspace::ownBundleIdentifier),
    // "qorvix.tandrel.app" while none is set.
    static UserDefaults& standard();

    // The domain's name now.
    std::string domain() const;

    QVariant value(const QString& key) const;
    bool contains(const QString& key) const;
    // The value when it is stored as a text, or as anything that reads as one.
    std::optional<QString> string(const QString& key) const;
    // The value when it reads as a finite number.
    std::optional<double> doubleValue(const QString& key) const;
    // Writes at once and announces the key.
    void set(const QString& key, const QVariant& value);
    void remove(const QString& key);

    // The persistent store of the domain `name`: <config home>/<name>.conf, located anew on each call.
    static std::unique_ptr<QSettings> persistentDomain(const std::string& name);
    // Forgets every key of the domain `name`, on disk too; the standard defaults announce each key they
    // had when the domain is theirs.
    static void removePersistentDomain(const std::string& name);

signals:
    // A key was written or removed through these defaults (or with the whole domain).
    void changed(const QString& key);

private:
    UserDefaults() = default;
};
