#include "TandrelApp/Mixer/RowHeaderModel.h"

#include <type_traits>

namespace RowHeaderModel {

namespace {

using SourceStatus = RoutingController::SourceStatus;

// A source row's status, idle when it has none yet.
SourceStatus sourceStatus(const Header& header) {
    return header.status.value_or(SourceStatus::idle());
}

} // namespace

Header Header::of(const RoutingController& controller, const MatrixRow& row) {
    Header header{.row = row, .channelCount = controller.sourceChannelCount(row.endpoint())};
    if (const SourceConfig* source = row.sourceConfig()) {
        if (auto found = controller.sourceStatus().find(source->id);
            found != controller.sourceStatus().end()) {
            header.status = found->second;
        }
    } else {
        header.lineUnlinked = controller.config().unlinkedLineVolumes.contains(row.lineDevice()->uid);
    }
    return header;
}

Icon icon(const Header& header) {
    const SourceConfig* source = header.row.sourceConfig();
    if (source == nullptr) {
        return {std::nullopt, {"waveform.path", ColorRole::accent}};
    }
    return std::visit(
        [](const auto& kind) -> Icon {
            using Kind = std::decay_t<decltype(kind)>;
            if constexpr (std::is_same_v<Kind, SourceKind::Application>) {
                return {kind.bundleID, {"app", ColorRole::secondary}};
            } else if constexpr (std::is_same_v<Kind, SourceKind::InputDevice>) {
                return {std::nullopt, {"mic", ColorRole::secondary}};
            } else {
                return {std::nullopt, {"macwindow.on.rectangle", ColorRole::secondary}};
            }
        },
        source->kind.value);
}

std::string name(const Header& header) {
    if (const SourceConfig* source = header.row.sourceConfig()) {
        return source->name;
    }
    return header.row.lineDevice()->name + " のミックス";
}

std::string statusText(const Header& header) {
    if (header.row.lineDevice() != nullptr) {
        return "ラインの音声";
    }
    const SourceStatus status = sourceStatus(header);
    return std::visit(
        [&header](const auto& value) -> std::string {
            using Case = std::decay_t<decltype(value)>;
            if constexpr (std::is_same_v<Case, SourceStatus::Running>) {
                if (header.channelCount) {
                    return value.detail + " · " + std::to_string(*header.channelCount) + "ch";
                }
                return value.detail;
            } else if constexpr (std::is_same_v<Case, SourceStatus::Waiting> ||
                                 std::is_same_v<Case, SourceStatus::Failed>) {
                return value.text;
            } else if constexpr (std::is_same_v<Case, SourceStatus::Starting>) {
                return "開始中…";
            } else if constexpr (std::is_same_v<Case, SourceStatus::Standby>) {
                return "待機中（接続するか音が出ると取り込み開始）";
            } else {
                return "待機中";
            }
        },
        status.value);
}

ColorRole statusColor(const Header& header) {
    if (header.row.lineDevice() != nullptr) {
        return ColorRole::green;
    }
    const SourceStatus status = sourceStatus(header);
    return std::visit(
        [](const auto& value) {
            using Case = std::decay_t<decltype(value)>;
            if constexpr (std::is_same_v<Case, SourceStatus::Running>) {
                return ColorRole::green;
            } else if constexpr (std::is_same_v<Case, SourceStatus::Waiting>) {
                return ColorRole::orange;
            } else if constexpr (std::is_same_v<Case, SourceStatus::Failed>) {
                return ColorRole::red;
            } else if constexpr (std::is_same_v<Case, SourceStatus::Standby>) {
                return ColorRole::gray;
            } else {
                return ColorRole::yellow;
            }
        },
        status.value);
}

std::string helpText(const Header& header) {
    const SourceConfig* source = header.row.sourceConfig();
    if (source == nullptr) {
        return header.row.lineDevice()->name + " に流れているミックスをモニター先へ送ります";
    }
    const std::string status = statusText(header);
    return std::visit(
        [&](const auto& kind) -> std::string {
            using Kind = std::decay_t<decltype(kind)>;
            if constexpr (std::is_same_v<Kind, SourceKind::Application>) {
                std::string text = source->name + " (" + kind.bundleID + ")\n" + status;
                if (source->isAutoAdded) {
                    text += "\n自動で追加しました（どこにも接続せずにアプリを終了すると行は消えます）";
                }
                return text;
            } else if constexpr (std::is_same_v<Kind, SourceKind::InputDevice>) {
                return source->name + " (" + kind.uid + ")\n" + status;
            } else {
                return "システム全体の音声（このアプリ自身の音は除く）\n" + status;
            }
        },
        source->kind.value);
}

int meterChannels(const Header& header) {
    if (!header.channelCount) {
        return 2;
    }
    return static_cast<int>(std::min<std::uint32_t>(*header.channelCount, 2));
}

Glyph channelButton(const SourceConfig& source) {
    const bool adjusted = !source.channelDB.empty() || !source.mutedChannels.empty();
    return {"slider.vertical.3", adjusted ? ColorRole::orange : ColorRole::secondary};
}

std::vector<MenuEntry> menu(const Header& header) {
    using Kind = MenuEntry::Kind;
    if (const AudioDeviceInfo* line = header.row.lineDevice()) {
        return {{Kind::toggleLink, line->name + (header.lineUnlinked ? " とモニター先の音量を連動させる"
                                                                     : " とモニター先の音量を連動させない")}};
    }
    std::vector<MenuEntry> entries{{Kind::retry, "再接続"}};
    if (std::holds_alternative<SourceKind::Application>(header.row.sourceConfig()->kind.value)) {
        entries.push_back({Kind::excludeApp, "このアプリを除外（自動で追加しない）", true});
    }
    entries.push_back({Kind::removeSource, "音源を削除", true});
    return entries;
}

} // namespace RowHeaderModel
