#include "TandrelApp/Mixer/MatrixModel.h"

#include <algorithm>

#include "TandrelApp/Mixer/MatrixMetrics.h"
#include "TandrelApp/Routing/RoutingController.h"

double ColumnGroup::width() const {
    return MatrixMetrics::groupWidth(columns.size());
}

std::string MatrixRow::id() const {
    if (const SourceConfig* source = sourceConfig()) {
        return source->id.uuidString();
    }
    return lineDevice()->uid;
}

Endpoint MatrixRow::endpoint() const {
    if (const SourceConfig* source = sourceConfig()) {
        return Endpoint::source(source->id);
    }
    return Endpoint::line(lineDevice()->uid);
}

double MatrixRow::height() const {
    return lineDevice() != nullptr ? MatrixMetrics::lineRowHeight : MatrixMetrics::sourceRowHeight;
}

std::string GridItem::id() const {
    if (const auto* section = std::get_if<Section>(&value)) {
        return "section:" + section->title;
    }
    if (const auto* row = std::get_if<Row>(&value)) {
        return row->row.id();
    }
    return "empty";
}

double GridItem::height() const {
    if (std::holds_alternative<Section>(value)) {
        return MatrixMetrics::sectionRowHeight;
    }
    if (const auto* row = std::get_if<Row>(&value)) {
        return row->row.height();
    }
    return MatrixMetrics::emptyHintHeight;
}

MatrixState MatrixState::of(const RoutingController& controller) {
    return {controller.lines(), controller.outputDevices(), controller.config()};
}

namespace MatrixModel {

std::vector<MatrixColumn> columns(const RoutingConfig& config, const AudioDeviceInfo& device) {
    const int visible = RoutingController::visiblePairs(config, device);
    const auto split = config.splitPairs.find(device.uid);
    std::vector<MatrixColumn> out;
    for (std::int64_t pair = 0; pair < visible; ++pair) {
        const std::int64_t channel = 2 * pair;
        const bool isSplit = split != config.splitPairs.end() && split->second.contains(channel);
        if (isSplit && channel + 1 < static_cast<std::int64_t>(device.outputChannels)) {
            out.push_back({channel, 1});
            out.push_back({channel + 1, 1});
        } else {
            out.push_back({channel, 2});
        }
    }
    return out;
}

std::vector<ColumnGroup> groups(const MatrixState& state) {
    std::vector<ColumnGroup> out;
    for (const AudioDeviceInfo& line : state.lines) {
        out.push_back({line, true, columns(state.config, line)});
    }
    for (const std::string& uid : state.config.monitorDeviceUIDs) {
        // A monitor that is not connected now keeps its place in the configuration but shows nothing.
        auto device = std::ranges::find(state.outputDevices, uid, &AudioDeviceInfo::uid);
        if (device != state.outputDevices.end()) {
            out.push_back({*device, false, columns(state.config, *device)});
        }
    }
    return out;
}

std::vector<GridItem> items(const MatrixState& state) {
    std::vector<GridItem> out{GridItem::section(sourcesTitle)};
    if (state.config.sources.empty()) {
        out.push_back(GridItem::emptyHint());
    }
    for (const SourceConfig& source : state.config.sources) {
        out.push_back(GridItem::row(MatrixRow::source(source)));
    }
    if (!state.lines.empty() && !state.config.monitorDeviceUIDs.empty()) {
        out.push_back(GridItem::section(linesTitle));
        for (const AudioDeviceInfo& line : state.lines) {
            out.push_back(GridItem::row(MatrixRow::line(line)));
        }
    }
    return out;
}

double contentWidth(const std::vector<ColumnGroup>& groups) {
    double width = 0;
    for (const ColumnGroup& group : groups) {
        width += group.width() + MatrixMetrics::groupGap;
    }
    return width;
}

} // namespace MatrixModel
