// The failures of the screen-capture service (content refused, a stream that cannot be set up, started or
// stopped, or that the system ended); what its callers receive as "the platform's error".
#pragma once

#include <stdexcept>
#include <string>

class ScreenCaptureError : public std::runtime_error {
public:
    enum class Code { permissionDenied, invalidParameter, alreadyRunning, notRunning, stoppedBySystem };

    ScreenCaptureError(Code code, const std::string& message)
        : std::runtime_error(message)
        , code_(code) {}

    Code code() const { return code_; }

private:
    Code code_;
};
