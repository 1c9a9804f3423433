// The responsiveness self-test ("--responsiveness-test"): a hung audio server is detected while the main
// thread keeps running, and everything comes back once it answers. Called by the entry point on the main
// thread; never returns.
#pragma once

struct ResponsivenessTestRunner {
    // Runs the test headless in its own event loop and ends the process with the report's exit status.
    [[noreturn]] static void run(int& argc, char** argv);
};
