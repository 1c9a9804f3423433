// What the routing matrix shows, computed from the controller's published state: the destination
// groups with their columns (lines first, then the monitors) and the grid's rows (the configured
// sources, then the lines as sources for the monitors). Plain values, recomputed at every change; the
// grid's headers, rows and cells are built from them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "TandrelApp/Engine/AudioDeviceInfo.h"
#include "TandrelApp/Routing/RoutingConfig.h"

class RoutingController;

// One column of a destination: a stereo pair (width 2, `channel` its first, even channel) or one
// channel of a split pair (width 1). A column is its own identity.
struct MatrixColumn {
    std::int64_t channel = 0;
    std::int64_t width = 2;

    bool operator==(const MatrixColumn&) const = default;
};

template <>
struct std::hash<MatrixColumn> {
    std::size_t operator()(const MatrixColumn& column) const noexcept {
        std::size_t h = std::hash<std::int64_t>{}(column.channel);
        hashCombine(h, std::hash<std::int64_t>{}(column.width));
        return h;
    }
};

// One destination device of the matrix and its columns, left to right.
struct ColumnGroup {
    AudioDeviceInfo device;
    bool isLine = false;
    std::vector<MatrixColumn> columns;

    const std::string& id() const { return device.uid; }
    // Points, before the display scale; the gap after the group is not included.
    double width() const;

    bool operator==(const ColumnGroup&) const = default;
};

// One source row: a configured source, or a line used as a source for the monitors.
struct MatrixRow {
    std::variant<SourceConfig, AudioDeviceInfo> kind;

    static MatrixRow source(SourceConfig source) { return {std::move(source)}; }
    static MatrixRow line(AudioDeviceInfo line) { return {std::move(line)}; }

    // The configured source, or null for a line row.
    const SourceConfig* sourceConfig() const { return std::get_if<SourceConfig>(&kind); }
    // The line, or null for a source row.
    const AudioDeviceInfo* lineDevice() const { return std::get_if<AudioDeviceInfo>(&kind); }
    // A source's id in canonical text, or a line's UID.
    std::string id() const;
    // Where connections from this row start.
    Endpoint endpoint() const;
    // Points, before the display scale.
    double height() const;

    bool operator==(const MatrixRow&) const = default;
};

// One entry of the grid's vertical list.
struct GridItem {
    struct Section {
        std::string title;
        std::optional<std::string> hint;
        bool operator==(const Section&) const = default;
    };
    struct Row {
        MatrixRow row;
        bool operator==(const Row&) const = default;
    };
    // The placeholder shown while no source is configured.
    struct EmptyHint {
        bool operator==(const EmptyHint&) const = default;
    };

    std::variant<Section, Row, EmptyHint> value;

    static GridItem section(std::string title, std::optional<std::string> hint = std::nullopt) {
        return {Section{std::move(title), std::move(hint)}};
    }
    static GridItem row(MatrixRow row) { return {Row{std::move(row)}}; }
    static GridItem emptyHint() { return {EmptyHint{}}; }

    // "section:" and the title, the row's id, or "empty".
    std::string id() const;
    // Points, before the display scale: the same in the row headers and in the cells.
    double height() const;

    bool operator==(const GridItem&) const = default;
};

// The published state the matrix is computed from. The references must outlive the computation.
struct MatrixState {
    const std::vector<AudioDeviceInfo>& lines;
    const std::vector<AudioDeviceInfo>& outputDevices;
    const RoutingConfig& config;

    static MatrixState of(const RoutingController& controller);
};

namespace MatrixModel {

// Section titles.
inline constexpr const char* sourcesTitle = "音源";
inline constexpr const char* linesTitle = "ライン（モニター元）";

// The destination groups: every line in the controller's order, then every configured monitor that is
// among the output devices, in the configuration's order.
std::vector<ColumnGroup> groups(const MatrixState& state);
// The columns of one device: its visible pairs, each one stereo column or, when split and both of its
// channels exist, two single-channel columns.
std::vector<MatrixColumn> columns(const RoutingConfig& config, const AudioDeviceInfo& device);
// The grid's rows: the sources' section with a row per source (or the empty hint), then, when there
// are lines and monitors, the lines' section with a row per line.
std::vector<GridItem> items(const MatrixState& state);
// Width of the cells' area in points: every group's width plus its gap.
double contentWidth(const std::vector<ColumnGroup>& groups);

} // namespace MatrixModel
