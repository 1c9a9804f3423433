#include "TandrelApp/Mixer/GroupTitleModel.h"

#include "TandrelApp/Mixer/MatrixMetrics.h"
#include "TandrelApp/Routing/RoutingController.h"

namespace GroupTitleModel {

Title Title::of(const RoutingConfig& config, const ColumnGroup& group) {
    return {.device = group.device,
            .isLine = group.isLine,
            .columns = group.columns.size(),
            .shownPairs = RoutingController::visiblePairs(config, group.device),
            .volume = config.volume(group.device.uid),
            .fadersShown = !config.hiddenFaders.contains(group.device.uid)};
}

int pairCapacity(const Title& title) {
    return RoutingController::pairCapacity(title.device);
}

Glyph icon(const Title& title) {
    return title.isLine ? Glyph{"waveform.path", ColorRole::accent}
                        : Glyph{"speaker.wave.2", ColorRole::secondary};
}

std::string caption(const Title& title) {
    const std::string channels = std::to_string(title.device.outputChannels);
    return title.isLine ? channels + "ch ライン" : "モニター · " + channels + "ch";
}

Glyph faderSwitch(const Title& title) {
    return {"slider.vertical.3", title.fadersShown ? ColorRole::accent : ColorRole::secondary};
}

std::string faderSwitchTooltip(const Title& title) {
    return title.fadersShown ? "列ごとのフェーダーを隠す" : "列ごとのフェーダーを表示";
}

bool showsPairButtons(const Title& title) {
    return pairCapacity(title) > 1;
}

bool canShowFewer(const Title& title) {
    return title.shownPairs >= 2;
}

bool canShowMore(const Title& title) {
    return title.shownPairs < pairCapacity(title);
}

std::string morePairsTooltip(const Title& title) {
    return "表示するペアを増やす（最大 " + std::to_string(pairCapacity(title)) + " ペア）";
}

double width(const Title& title) {
    return MatrixMetrics::groupWidth(title.columns);
}

double masterWidth(const Title& title) {
    return width(title) - 8;
}

std::string masterTooltip(const Title& title) {
    return title.device.name + " 全体の音量";
}

std::vector<MenuEntry> menu(const Title& title) {
    using Kind = MenuEntry::Kind;
    std::vector<MenuEntry> entries;
    if (title.device.outputChannels >= 2) {
        entries.push_back({Kind::splitAll, "すべてのペアを L/R に分ける"});
        entries.push_back({Kind::joinAll, "すべてステレオに戻す"});
    }
    if (!title.isLine) {
        entries.push_back({Kind::separator, ""});
        entries.push_back({Kind::removeMonitor, "モニター先から外す", true});
    }
    return entries;
}

std::vector<std::int64_t> splittablePairs(const AudioDeviceInfo& device, int shownPairs) {
    std::vector<std::int64_t> pairs;
    for (std::int64_t k = 0; k < shownPairs; ++k) {
        if (2 * k + 1 < static_cast<std::int64_t>(device.outputChannels)) {
            pairs.push_back(2 * k);
        }
    }
    return pairs;
}

} // namespace GroupTitleModel
