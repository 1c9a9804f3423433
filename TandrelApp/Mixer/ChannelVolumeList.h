// A labelled volume control per channel of a device or source, stacked: the pair and source channel
// popovers and the menu-bar panel list channel volumes with it. Rows are kept by channel number, so an
// edit in progress in one row survives every refresh. GUI thread only.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <QWidget>

#include "TandrelApp/Support/KeyedChildren.h"
#include "TandrelApp/Support/Theme.h"

class QVBoxLayout;
class VolumeControl;

class ChannelVolumeList : public QWidget {
    Q_OBJECT

public:
    using Label = std::function<std::string(int channel)>;
    using Level = std::function<float(int channel)>;
    using Muted = std::function<bool(int channel)>;
    using OnChange = std::function<void(int channel, float dB)>;
    using OnMute = std::function<void(int channel, bool muted)>;

    explicit ChannelVolumeList(Theme::Metrics metrics, QWidget* parent = nullptr);
    ~ChannelVolumeList() override;

    // Shows one row per channel in `channels` (no duplicates), in that order, each labelled and
    // filled from the functions; `labelWidth` is the label column's width in points.
    void setChannels(const std::vector<int>& channels, const Label& label, const Level& dB,
                     const Muted& isMuted, double labelWidth);
    void setOnChange(OnChange onChange) { onChange_ = std::move(onChange); }
    void setOnMute(OnMute onMute) { onMute_ = std::move(onMute); }

    // The row of a channel's volume control, or null.
    VolumeControl* control(int channel) const;
    std::size_t rowCount() const { return rows_->size(); }

private:
    class Row;

    Theme::Metrics metrics_;
    QVBoxLayout* layout_;
    std::unique_ptr<KeyedChildren<int, Row>> rows_;
    OnChange onChange_;
    OnMute onMute_;
};
