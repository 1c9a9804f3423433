// One line under a line's own volume that says whether that volume is linked with the monitors
// playing the line's mix, and with which ones. The switch itself is the line row's context menu. GUI
// thread only.
#pragma once

#include <QWidget>

#include "TandrelApp/Engine/AudioDeviceInfo.h"
#include "TandrelApp/Mixer/LineVolumeModel.h"
#include "TandrelApp/Support/Theme.h"

class ElidedLabel;
class GlyphView;
class RoutingController;

class LineVolumeLinkLabel : public QWidget {
    Q_OBJECT

public:
    LineVolumeLinkLabel(RoutingController& controller, Theme::Metrics metrics, QWidget* parent = nullptr);

    void display(const AudioDeviceInfo& line);

    const LineVolumeModel::Link& link() const { return link_; }
    ElidedLabel* text() const { return text_; }

private:
    RoutingController& controller_;
    LineVolumeModel::Link link_;
    GlyphView* glyph_;
    ElidedLabel* text_;
};
