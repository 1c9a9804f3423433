// Points the application-support folder (XDG_DATA_HOME) at a fresh temporary directory while it lives,
// so tests never read or write the real user's configuration.
#pragma once

#include <QByteArray>
#include <QString>
#include <QTemporaryDir>
#include <QtGlobal>

class TemporaryDataHome {
public:
    TemporaryDataHome()
        : hadDataHome_(qEnvironmentVariableIsSet("XDG_DATA_HOME"))
        , savedDataHome_(qgetenv("XDG_DATA_HOME")) {
        qputenv("XDG_DATA_HOME", home_.path().toUtf8());
    }
    ~TemporaryDataHome() {
        if (hadDataHome_) {
            qputenv("XDG_DATA_HOME", savedDataHome_);
        } else {
            qunsetenv("XDG_DATA_HOME");
        }
    }
    TemporaryDataHome(const TemporaryDataHome&) = delete;
    TemporaryDataHome& operator=(const TemporaryDataHome&) = delete;

    bool isValid() const { return home_.isValid(); }
    QString path() const { return home_.path(); }

private:
    QTemporaryDir home_;
    bool hadDataHome_;
    QByteArray savedDataHome_;
};
