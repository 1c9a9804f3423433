#include "TandrelApp/Mixer/MatrixCellModel.h"

#include <algorithm>
#include <cstdio>

namespace MatrixCellModel {

namespace {

std::string format(const char* pattern, double value) {
    char text[64];
    std::snprintf(text, sizeof text, pattern, value);
    return text;
}

// The first channel of the source pair the connection uses.
std::int64_t baseChannel(const Cell& cell) {
    if (!cell.connection) {
        return 0;
    }
    const std::int64_t channel = cell.connection->sourceChannel;
    return channel - channel % 2;
}

std::string caption(std::uint32_t sourceChannels, std::int64_t width, int source, int destination) {
    std::string text = sourceChannels > 1 ? (source == 0 ? "L" : "R") : "M";
    if (width == 2) {
        text += destination == 0 ? "L" : "R";
    }
    return text;
}

std::string sourceName(std::uint32_t sourceChannels, int source, std::int64_t base) {
    if (sourceChannels == 2) {
        return source == 0 ? "音源の L" : "音源の R";
    }
    if (sourceChannels == 1) {
        return "音源（モノラル）";
    }
    return "音源の ch" + std::to_string(base + source + 1);
}

// "<device> ch1-2" for a stereo column, "<device> ch3" for a single channel.
std::string destinationText(const Cell& cell) {
    std::string text = cell.device.name + " ch" + std::to_string(cell.pair + 1);
    if (cell.width == 2) {
        text += "-" + std::to_string(cell.pair + 2);
    }
    return text;
}

std::string mappingText(const Cell& cell) {
    if (cell.width == 1) {
        return ConnectionDetailModel::monoLabel(*cell.connection, gridSourceChannels(cell));
    }
    return ConnectionDetailModel::modeName(cell.connection->mode);
}

} // namespace

std::optional<Connection> find(const RoutingConfig& config, const Endpoint& endpoint,
                               const std::string& deviceUID, std::int64_t pair, std::int64_t width) {
    auto found = std::ranges::find_if(config.connections, [&](const Connection& connection) {
        return connection.from == endpoint && connection.toDeviceUID == deviceUID &&
               connection.pair == pair && connection.width == width;
    });
    return found == config.connections.end() ? std::nullopt : std::optional(*found);
}

bool isEnabled(bool rowIsLine, bool columnIsLine) {
    return !(rowIsLine && columnIsLine);
}

std::uint32_t gridSourceChannels(const Cell& cell) {
    return cell.sourceChannels.value_or(2);
}

std::vector<std::vector<RouteButton>> routeButtons(const Cell& cell) {
    if (!cell.isEnabled) {
        return {};
    }
    const std::uint32_t channels = gridSourceChannels(cell);
    const std::int64_t mask = cell.connection ? cell.connection->routeMaskFor(channels) : 0;
    const std::int64_t base = baseChannel(cell);
    std::vector<std::vector<RouteButton>> rows;
    for (int source = 0; source < (channels < 2 ? 1 : 2); ++source) {
        std::vector<RouteButton> row;
        for (int destination = 0; destination < cell.width; ++destination) {
            const auto entry =
                std::ranges::find_if(Connection::routeBits, [&](const Connection::RouteBit& bit) {
                    return bit.sourceOffset == source && bit.destinationOffset == destination;
                });
            RouteButton button{.source = source, .destination = destination, .bit = entry->bit};
            button.lit = (mask & button.bit) != 0;
            button.caption = caption(channels, cell.width, source, destination);
            button.tooltip = sourceName(channels, source, base) + " → " +
                             destinationLabel(cell, destination) + "（クリックで" +
                             (button.lit ? "切断" : "接続") + "）";
            row.push_back(std::move(button));
        }
        rows.push_back(std::move(row));
    }
    return rows;
}

std::string destinationLabel(const Cell& cell, int index) {
    const std::string number = std::to_string(cell.pair + index + 1);
    if (cell.width == 1 || cell.pair + 1 >= static_cast<std::int64_t>(cell.device.outputChannels)) {
        return "ch" + number;
    }
    return "ch" + number + "（" + (index == 0 ? "L" : "R") + "）";
}

std::optional<std::string> gainBadge(const Cell& cell) {
    if (!cell.connection || cell.connection->gainDB == 0.0f) {
        return std::nullopt;
    }
    return format("%+.0f", static_cast<double>(cell.connection->gainDB));
}

std::string helpText(const Cell& cell, const std::optional<RoutingController::RouteInfo>& route) {
    if (!cell.isEnabled) {
        return disabledHelp;
    }
    if (!cell.connection) {
        return "クリックで " + destinationText(cell) + " へ接続";
    }
    std::string text = destinationText(cell) + " · " + mappingText(cell) + " · " +
                       format("%+.1f dB", static_cast<double>(cell.connection->gainDB));
    if (cell.connection->isMuted) {
        text += " · ミュート中";
    }
    if (route) {
        char statistics[160];
        std::snprintf(statistics, sizeof statistics,
                      "バッファ %.0f ms · ドリフト補正 %+.0f ppm · 音切れ %llu 回", route->bufferMs,
                      route->driftPpm, static_cast<unsigned long long>(route->underruns));
        text += "\n";
        text += statistics;
    }
    return text + "\n右クリックで割り当て・ゲインを変更";
}

std::vector<MenuEntry> menu(const Cell& cell) {
    using Kind = MenuEntry::Kind;
    if (!cell.isEnabled) {
        return {};
    }
    if (!cell.connection) {
        return {{Kind::connect, "接続"}};
    }
    const Connection& connection = *cell.connection;
    std::vector<MenuEntry> entries;
    if (connection.routeMask) {
        entries.push_back({Kind::customNote, "割り当て: ボタンで指定（カスタム）"});
    }
    if (cell.width == 1) {
        MenuEntry picker{Kind::monoPicker, ConnectionDetailModel::monoTitle};
        const auto selected = ConnectionDetailModel::monoSelection(connection, cell.sourceChannels);
        for (const auto& option : ConnectionDetailModel::monoOptions(cell.sourceChannels)) {
            picker.choices.push_back(
                {.title = option.title, .checked = option.choice == selected, .mono = option.choice});
        }
        entries.push_back(std::move(picker));
    } else {
        MenuEntry picker{Kind::modePicker, ConnectionDetailModel::modeTitle};
        for (MappingMode mode : allMappingModes) {
            picker.choices.push_back({.title = ConnectionDetailModel::modeName(mode),
                                      .checked = mode == connection.mode,
                                      .mode = mode});
        }
        entries.push_back(std::move(picker));
    }
    entries.push_back({Kind::toggleMute, connection.isMuted ? "ミュート解除" : "ミュート"});
    entries.push_back({Kind::showDetail, "詳細設定…"});
    entries.push_back({Kind::separator, ""});
    entries.push_back({Kind::disconnect, "切断", true});
    return entries;
}

std::optional<RoutingConfig> choosingMode(const RoutingConfig& config, const UUID& id, MappingMode mode) {
    return ConnectionDetailModel::edited(config, id, [mode](Connection& connection) {
        connection.mode = mode;
        connection.routeMask.reset();
    });
}

std::optional<RoutingConfig> settingMute(const RoutingConfig& config, const UUID& id, bool muted) {
    return ConnectionDetailModel::edited(config, id,
                                         [muted](Connection& connection) { connection.isMuted = muted; });
}

} // namespace MatrixCellModel
