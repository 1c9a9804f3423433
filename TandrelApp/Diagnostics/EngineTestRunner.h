// The engine and latency self-tests ("--engine-test", "--latency-test"): tones and clicks routed into
// the lines and measured on their inputs. Called by the entry point; never returns.
#pragma once

struct EngineTestRunner {
    // Runs the engine or the latency scenario, as the arguments say, and ends the process with the
    // report's exit status.
    [[noreturn]] static void run(int& argc, char** argv);
};
