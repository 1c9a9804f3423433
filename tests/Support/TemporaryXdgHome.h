// Points one XDG folder variable (XDG_DATA_HOME, XDG_CONFIG_HOME, ...) at a fresh temporary directory
// while it lives, so tests never read or write the real user's files, and restores it afterwards.
#pragma once

#include <QByteArray>
#include <QString>
#include <QTemporaryDir>
#include <QtGlobal>

class TemporaryXdgHome {
public:
    explicit TemporaryXdgHome(const char* variable)
        : variable_(variable)
        , hadValue_(qEnvironmentVariableIsSet(variable))
        , savedValue_(qgetenv(variable)) {
        qputenv(variable_, home_.path().toUtf8());
    }
    ~TemporaryXdgHome() {
        if (hadValue_) {
            qputenv(variable_, savedValue_);
        } else {
            qunsetenv(variable_);
        }
    }
    TemporaryXdgHome(const TemporaryXdgHome&) = delete;
    TemporaryXdgHome& operator=(const TemporaryXdgHome&) = delete;

    bool isValid() const { return home_.isValid(); }
    QString path() const { return home_.path(); }

private:
    QTemporaryDir home_;
    const char* variable_;
    bool hadValue_;
    QByteArray savedValue_;
};
