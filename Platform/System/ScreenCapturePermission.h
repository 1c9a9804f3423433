// The system's screen-capture permission: the screen-capture service refuses its shareable content
// without it, and the capture source and the diagnostics preflight it. Granted by default; tests deny it.
#pragma once

namespace ScreenCapturePermission {

// Whether screen and audio capture is allowed, without asking the user.
bool preflight();

// Test hook.
void setGranted(bool granted);

} // namespace ScreenCapturePermission
