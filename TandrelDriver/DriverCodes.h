// The four-character codes the driver answers to: property selectors, object classes and the values
// its properties report. Shared by the plug-in object and the line devices.
#pragma once

#include "Platform/AudioServer/AudioServerPlugIn.h"

namespace tandrel::driver {

constexpr uint32_t fourCC(const char (&s)[5]) {
    return TD_FOURCC(s[0], s[1], s[2], s[3]);
}

namespace sel {
// Every object.
constexpr uint32_t kBaseClass = fourCC("bcls");
constexpr uint32_t kClass = fourCC("clas");
constexpr uint32_t kOwner = fourCC("stdv");
constexpr uint32_t kOwnedObjects = fourCC("ownd");
constexpr uint32_t kName = fourCC("lnam");
constexpr uint32_t kManufacturer = fourCC("lmak");
constexpr uint32_t kCustomPropertyInfoList = fourCC("cust");
// Plug-in object.
constexpr uint32_t kResourceBundle = fourCC("rsrc");
constexpr uint32_t kBoxList = fourCC("box#");
constexpr uint32_t kDeviceList = fourCC("dev#");
constexpr uint32_t kTranslateUIDToBox = fourCC("uidb");
constexpr uint32_t kTranslateUIDToDevice = fourCC("uidd");
constexpr uint32_t kLines = fourCC("lnes");
// Device.
constexpr uint32_t kDeviceUID = fourCC("uid ");
constexpr uint32_t kModelUID = fourCC("muid");
constexpr uint32_t kTransportType = fourCC("tran");
constexpr uint32_t kRelatedDevices = fourCC("akin");
constexpr uint32_t kClockDomain = fourCC("clkd");
constexpr uint32_t kDeviceIsAlive = fourCC("livn");
constexpr uint32_t kDeviceIsRunning = fourCC("goin");
constexpr uint32_t kCanBeDefaultDevice = fourCC("dflt");
constexpr uint32_t kCanBeDefaultSystemDevice = fourCC("sflt");
constexpr uint32_t kIsHidden = fourCC("hidn");
constexpr uint32_t kLatency = fourCC("ltnc");
constexpr uint32_t kSafetyOffset = fourCC("saft");
constexpr uint32_t kZeroTimeStampPeriod = fourCC("ring");
constexpr uint32_t kNominalSampleRate = fourCC("nsrt");
constexpr uint32_t kAvailableNominalSampleRates = fourCC("nsr#");
constexpr uint32_t kStreams = fourCC("stm#");
constexpr uint32_t kControlList = fourCC("ctrl");
constexpr uint32_t kPreferredChannelsForStereo = fourCC("dch2");
constexpr uint32_t kPreferredChannelLayout = fourCC("srnd");
constexpr uint32_t kChannelGains = fourCC("lcgn");
// Streams.
constexpr uint32_t kIsActive = fourCC("sact");
constexpr uint32_t kDirection = fourCC("sdir");
constexpr uint32_t kTerminalType = fourCC("term");
constexpr uint32_t kStartingChannel = fourCC("schn");
constexpr uint32_t kPhysicalFormat = fourCC("pft ");
constexpr uint32_t kVirtualFormat = fourCC("sfmt");
constexpr uint32_t kAvailablePhysicalFormats = fourCC("pfta");
constexpr uint32_t kAvailableVirtualFormats = fourCC("sfma");
// Controls.
constexpr uint32_t kControlScope = fourCC("cscp");
constexpr uint32_t kControlElement = fourCC("celm");
constexpr uint32_t kScalarValue = fourCC("lcsv");
constexpr uint32_t kDecibelValue = fourCC("lcdv");
constexpr uint32_t kDecibelRange = fourCC("lcdr");
constexpr uint32_t kBooleanValue = fourCC("bcvl");
} // namespace sel

namespace cls {
constexpr uint32_t kObject = fourCC("aobj");
constexpr uint32_t kPlugIn = fourCC("aplg");
constexpr uint32_t kDevice = fourCC("adev");
constexpr uint32_t kStream = fourCC("astr");
constexpr uint32_t kLevelControl = fourCC("levl");
constexpr uint32_t kVolumeControl = fourCC("vlme");
constexpr uint32_t kBooleanControl = fourCC("togl");
constexpr uint32_t kMuteControl = fourCC("mute");
} // namespace cls

constexpr uint32_t kTransportTypeVirtual = fourCC("virt");
constexpr uint32_t kTerminalTypeLine = fourCC("line");

constexpr AudioObjectID kPlugInObjectID = 1;

} // namespace tandrel::driver
