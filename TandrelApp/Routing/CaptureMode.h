// How applications are captured, as the user chooses it and the routing configuration persists it;
// the configuration, the controller and the capture-source selection read it.
#pragma once

enum class CaptureMode { automatic, processTap, screenCaptureKit };
