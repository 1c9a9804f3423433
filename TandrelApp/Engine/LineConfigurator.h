// The application's side of the driver's line properties: reading, checking and writing the line list
// ('lnes' on the driver's plug-in object) and writing a line's per-channel gains ('lcgn'). The lines
// settings pane, the reset of settings and the reconcile pass call it on the call queue.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "Platform/AudioServer/CoreAudioTypes.h"
#include "TandrelApp/Support/AppError.h"

// The driver's custom properties.
enum : uint32_t {
    kTandrelPropertyLines = TD_FOURCC('l', 'n', 'e', 's'),
    kTandrelPropertyLineChannelGains = TD_FOURCC('l', 'c', 'g', 'n'),
};

inline constexpr const char* kTandrelDriverBundleID = "qorvix.tandrel.driver";

// One line of the driver's list.
struct LineSpec {
    int64_t number = 0;
    int64_t channels = 2;
    std::string name;

    bool operator==(const LineSpec&) const = default;

    // The channel counts the line editor offers.
    static constexpr std::array<int64_t, 6> channelChoices{2, 4, 8, 16, 32, 64};
};

namespace LineConfigurator {

class ConfiguratorError : public AppError {
public:
    enum class Kind { invalid, driverNotFound, unsupported };
    static ConfiguratorError invalid(const std::string& message) { return {Kind::invalid, message}; }
    static ConfiguratorError driverNotFound() {
        return {Kind::driverNotFound,
                "ドライバが見つかりません（インストールされていないか、古いバージョンです）"};
    }
    static ConfiguratorError unsupported() {
        return {Kind::unsupported, "インストールされているドライバはラインの変更に対応していません。"
                                   "最新のインストーラで更新してください。"};
    }
    Kind kind() const { return kind_; }

private:
    ConfiguratorError(Kind kind, const std::string& description)
        : AppError(description)
        , kind_(kind) {}
    Kind kind_;
};

// The maximum number of lines and the highest line number.
inline constexpr int64_t kMaxLines = 16;
inline constexpr int64_t kMaxLineNumber = 99;

// The driver's plug-in object, or nothing when the driver is not loaded.
std::optional<AudioObjectID> pluginID();
// The driver's list, sorted by number; throws ConfiguratorError or CoreAudioError.
std::vector<LineSpec> read();
// Throws ConfiguratorError::invalid with the first problem found.
void validate(const std::vector<LineSpec>& lines);
// Validates, then hands the list (names trimmed of spaces and tabs) to the driver; throws
// ConfiguratorError or CoreAudioError.
void write(const std::vector<LineSpec>& lines);

// `text` without leading and trailing spaces and tabs (the Unicode space separators included; line
// breaks are kept).
std::string trimmingBlanks(const std::string& text);

} // namespace LineConfigurator

namespace LineChannelGains {

// Sets a line's per-channel gains; true when the driver accepted them. Never throws.
bool write(AudioObjectID device, const std::vector<float>& gains);

} // namespace LineChannelGains
