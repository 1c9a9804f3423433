// What the screen-capture service can capture: the displays and the running applications. The
// screen-capture audio source asks for it before it builds a content filter; it is refused without the
// screen-capture permission.
#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <vector>

struct SCDisplay {
    uint32_t displayID = 0;
    int width = 0;
    int height = 0;
    bool operator==(const SCDisplay&) const = default;
};

struct SCRunningApplication {
    int processID = 0;
    // Empty when the application has none.
    std::string bundleIdentifier;
    std::string applicationName;
    bool operator==(const SCRunningApplication&) const = default;
};

class SCShareableContent {
public:
    using Completion = std::function<void(std::shared_ptr<const SCShareableContent>, std::exception_ptr)>;

    // Collects the content and hands it (or a ScreenCaptureError when the permission is missing) to
    // `completion`, later, on a global queue. The flags only concern windows, which this service omits.
    static void getShareableContent(bool excludingDesktopWindows, bool onScreenWindowsOnly,
                                    Completion completion);

    // In the system's order: the main display first.
    const std::vector<SCDisplay>& displays() const { return displays_; }
    // The workspace's running applications, in launch order.
    const std::vector<SCRunningApplication>& applications() const { return applications_; }

    // Test hook: the displays that later requests report (one 1920 x 1080 display by default; none
    // is allowed).
    static void setDisplays(std::vector<SCDisplay> displays);
    static std::vector<SCDisplay> defaultDisplays();
    // Test hook: while held, requests still collect their content at once but hand it over only when
    // released, so a test can change the world between the two.
    static void holdCompletions(bool held);

private:
    std::vector<SCDisplay> displays_;
    std::vector<SCRunningApplication> applications_;
};
