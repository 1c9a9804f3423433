// Starting the process's emulated audio server, as the application does at launch and the self-test
// runners do before they measure: the hardware profile of the server's home (the built-in one when the
// home has none), with the plug-ins of the home's PlugIns folder (where Scripts/install_driver puts the
// driver) and then those installed beside the program. Call once, on the main thread, before any client
// call.
#pragma once

#include <filesystem>
#include <memory>
#include <vector>

#include "Platform/AudioServer/AudioServer.h"

namespace AudioServerStart {

// <home>/PlugIns, then <prefix>/lib/tandrel/PlugIns for a program installed as <prefix>/bin/<name>.
// A driver found in both is loaded from the first. Only the first without an executable.
std::vector<std::filesystem::path> plugInPlaces(const std::filesystem::path& home,
                                                const std::filesystem::path& executable);

// Starts the shared server from the environment's home (AudioServer::defaultHome()). Throws
// HardwareProfileError when the home's profile.json cannot describe the hardware.
std::shared_ptr<AudioServer> start();

} // namespace AudioServerStart
