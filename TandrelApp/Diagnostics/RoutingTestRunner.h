// The routing self-test ("--routing-test"): drives a real routing controller through the user's edits
// and listens to the lines after each. Called by the entry point on the main thread; never returns.
#pragma once

struct RoutingTestRunner {
    // Runs the test headless in its own event loop and ends the process with the report's exit status.
    [[noreturn]] static void run(int& argc, char** argv);
};
