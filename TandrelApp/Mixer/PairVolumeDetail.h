// The detail popover of a column header: the pair's volume, the volume and mute of each of the column's
// channels and, for a pair with two channels, the switch between one stereo column and two single
// ones with a word on what it does. It refreshes from the configuration like the header. GUI thread
// only.
#pragma once

#include <functional>

#include <QWidget>

#include "TandrelApp/Mixer/PairHeaderModel.h"
#include "TandrelApp/Support/Theme.h"

class ChannelVolumeList;
class QLabel;
class QPushButton;
class RoutingController;
class VolumeControl;

class PairVolumeDetail : public QWidget {
    Q_OBJECT

public:
    // `onSplit` is what the split button does (the header closes its popover, then splits or joins).
    PairVolumeDetail(RoutingController& controller, Theme::Metrics metrics, std::function<void()> onSplit,
                     QWidget* parent = nullptr);

    void display(const PairHeaderModel::Header& header);

    QLabel* title() const { return title_; }
    QLabel* pairCaption() const { return pairCaption_; }
    VolumeControl* pairVolume() const { return pairVolume_; }
    ChannelVolumeList* channels() const { return channels_; }
    QPushButton* splitButton() const { return splitButton_; }
    QLabel* explanation() const { return explanation_; }

private:
    RoutingController& controller_;
    PairHeaderModel::Header header_;
    QLabel* title_;
    QLabel* pairCaption_;
    VolumeControl* pairVolume_;
    ChannelVolumeList* channels_;
    QWidget* splitSection_;
    QPushButton* splitButton_;
    QLabel* explanation_;
};
