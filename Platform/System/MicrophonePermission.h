// The system's microphone permission: the input device source asks it before every start. Authorized
// by default; tests put it in any of the other states and decide how a request is answered.
#pragma once

#include <functional>

enum class AuthorizationStatus { notDetermined = 0, restricted = 1, denied = 2, authorized = 3 };

namespace MicrophonePermission {

AuthorizationStatus status();
// Asks the user; `completion` runs later on a global queue with the answer. Only a not-determined
// status asks: the others answer at once with whether access is authorized.
void requestAccess(std::function<void(bool granted)> completion);

// Test hooks.
void setStatus(AuthorizationStatus status);
// How the (simulated) user answers the next requests while the status is not determined; the answer
// becomes the status.
void setRequestAnswer(bool grant);
// How many times the user was asked.
int requestCount();

} // namespace MicrophonePermission
