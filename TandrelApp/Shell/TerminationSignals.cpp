#include "TandrelApp/Shell/TerminationSignals.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QSocketNotifier>

#include "TandrelApp/Support/Log.h"

namespace TerminationSignals {
namespace {

// The handler only writes a byte: that is all a signal handler may do. The event loop reads it.
int pipeEnds[2] = {-1, -1};

void handle(int) {
    const char byte = 1;
    [[maybe_unused]] const auto written = ::write(pipeEnds[1], &byte, 1);
}

} // namespace

void quitOnTermination() {
    if (pipeEnds[0] >= 0) {
        return;
    }
    if (::pipe2(pipeEnds, O_CLOEXEC | O_NONBLOCK) != 0) {
        Log::console("cannot watch for SIGTERM, SIGINT and SIGHUP: no pipe");
        return;
    }
    auto* notifier = new QSocketNotifier(pipeEnds[0], QSocketNotifier::Read, QCoreApplication::instance());
    QObject::connect(notifier, &QSocketNotifier::activated, notifier, [] {
        char bytes[16];
        while (::read(pipeEnds[0], bytes, sizeof bytes) > 0) {
        }
        QCoreApplication::quit();
    });
    struct sigaction action {};
    action.sa_handler = &handle;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);
}

} // namespace TerminationSignals
