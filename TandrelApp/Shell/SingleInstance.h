// One running copy of the application per configuration: the first start holds a lock in the user's
// runtime folder and listens on a local socket beside it; a later start asks that copy to show its mixer
// window and ends. The kernel drops the lock of a copy that crashed, so a stale lock never blocks a
// start. TandrelApp::run() uses it; self-tests never do. GUI thread only.
#pragma once

#include <chrono>
#include <functional>
#include <memory>

#include <QObject>
#include <QString>

class QLocalServer;

class SingleInstance : public QObject {
public:
    // The lock and the socket are `folder`/`name`.lock and `folder`/`name`.socket.
    SingleInstance(QString folder, QString name);
    ~SingleInstance() override;
    SingleInstance(const SingleInstance&) = delete;
    SingleInstance& operator=(const SingleInstance&) = delete;

    // For the application: the user's runtime folder, and a name that stands for the folder of
    // routing.json, so that only copies sharing one configuration exclude each other.
    static std::unique_ptr<SingleInstance> forApplication();

    // Takes the lock; false while another living copy holds it. Held until this object goes.
    bool claim();

    // The first copy: from now on each later start's request calls `showMixer`, then is answered.
    // False (logged) when the socket cannot be opened; the copy still runs, later starts then fail.
    bool listen(std::function<void()> showMixer);

    // A later start: asks the running copy to show its mixer window. True once it confirmed; retries
    // while that copy is still starting, up to `timeout`.
    bool askRunningCopyToShowMixer(std::chrono::milliseconds timeout) const;

private:
    void answer();

    const QString lockPath_;
    const QString socketPath_;
    int lockDescriptor_ = -1;
    std::unique_ptr<QLocalServer> server_;
    std::function<void()> showMixer_;
};
