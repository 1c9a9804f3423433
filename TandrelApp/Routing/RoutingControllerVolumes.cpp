// Volume and mute editing of sources, devices, pairs and channels, and the recovery from an audio
// server that stopped answering.
#include "TandrelApp/Routing/RoutingController.h"

void RoutingController::startRecovery() {
    // filled later: the probe that waits for the audio server to answer again
}
