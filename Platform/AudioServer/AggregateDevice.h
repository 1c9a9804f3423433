// Private aggregate devices of the emulated audio server, made from a property-list dictionary: the
// process tap source holds its tap in one, and the controller makes short-lived ones to have the server
// announce a device-list change. Creation and destruction notify 'dev#' listeners.
//
// Description keys: "name" and "uid" (text; the UID is required and unique), "master" (the UID of the
// main device, whose rate, buffer size and clock the aggregate takes; else the first subdevice's),
// "subdevices" (list of dictionaries with "uid"), "taps" (list of at most one dictionary with "uid",
// the tap description's UUID, and "drift"), "private", "stacked" and "tapautostart" (booleans, kept as
// given). With a tap the aggregate's one input stream is the tap's stereo mix; the subdevices lend it
// their clock only, so it has no outputs.
#pragma once

#include "Platform/AudioServer/CoreAudioTypes.h"
#include "Platform/AudioServer/PropertyList/PropertyList.h"

inline constexpr const char* kAudioAggregateDeviceNameKey = "name";
inline constexpr const char* kAudioAggregateDeviceUIDKey = "uid";
inline constexpr const char* kAudioAggregateDeviceMainSubDeviceKey = "master";
inline constexpr const char* kAudioAggregateDeviceIsPrivateKey = "private";
inline constexpr const char* kAudioAggregateDeviceIsStackedKey = "stacked";
inline constexpr const char* kAudioAggregateDeviceTapAutoStartKey = "tapautostart";
inline constexpr const char* kAudioAggregateDeviceSubDeviceListKey = "subdevices";
inline constexpr const char* kAudioAggregateDeviceTapListKey = "taps";
inline constexpr const char* kAudioSubDeviceUIDKey = "uid";
inline constexpr const char* kAudioSubTapUIDKey = "uid";
inline constexpr const char* kAudioSubTapDriftCompensationKey = "drift";

// Creates an aggregate device from a dictionary the caller keeps. A malformed description answers
// kAudio_ParamError ('-50'), a taken UID 'nope', an unknown main device or subdevice '!dev', an
// unknown tap '!obj'.
OSStatus AudioHardwareCreateAggregateDevice(PLRef description, AudioObjectID* outDeviceID);
// Destroys an aggregate device, stopping its IO procs; a device that is no aggregate answers '!dev'.
OSStatus AudioHardwareDestroyAggregateDevice(AudioObjectID deviceID);
