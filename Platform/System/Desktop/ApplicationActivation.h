// The application's standing on the desktop: its activation policy (regular with windows in the
// taskbar, accessory with only its tray icon, prohibited for the headless self-tests) and bringing it
// in front of other applications. The shell sets the policy as windows come and go. GUI thread only.
#pragma once

#include "Platform/Workspace/Workspace.h"

namespace ApplicationActivation {

ActivationPolicy policy();
// Records the policy. The desktop shows nothing of an accessory application but its tray icon, which
// holds as it is only set when no main window is left on screen.
void setPolicy(ActivationPolicy policy);

// Brings the application's active window, else its topmost visible window, in front of other
// applications' windows. Desktops may refuse to move the keyboard focus; the window is raised anyway.
void activateIgnoringOtherApps();

} // namespace ApplicationActivation
