// The capture self-test ("--capture-test"): checks that one capture backend delivers audio from one
// application or from the whole system. Called by the entry point; never returns.
#pragma once

struct CaptureTestRunner {
    // Runs the test headless in its own event loop and ends the process with the report's exit status.
    [[noreturn]] static void run(int& argc, char** argv);
};
