// The application's activation policy as its windows come and go: regular (in the taskbar) while a
// window that can become main is on screen, accessory (only the tray icon) otherwise. The application
// delegate recomputes it whenever a window closes. GUI thread only.
#pragma once

#include <vector>

#include "Platform/Workspace/Workspace.h"

namespace AppActivation {

struct WindowState {
    bool visible = false;
    bool canBecomeMain = false;
};

// Regular as soon as one window is visible and can become main; accessory otherwise, also for none.
ActivationPolicy policyFor(const std::vector<WindowState>& windows);

// The application's top-level windows, in order.
std::vector<WindowState> windowStates();
bool hasVisibleMainWindow();

// Sets the policy for the windows as they are one turn of the event loop later, when a closing window
// has gone.
void updatePolicy();

} // namespace AppActivation
