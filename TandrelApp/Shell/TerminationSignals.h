// SIGTERM, SIGINT and SIGHUP (the terminal closed) end the application through its normal quit path,
// like its quit command, so the quit-time save runs. The application installs it once, after making
// its QApplication.
#pragma once

namespace TerminationSignals {

// From now on each of them asks the event loop to quit (at once when it runs, else as soon as it does).
void quitOnTermination();

} // namespace TerminationSignals
