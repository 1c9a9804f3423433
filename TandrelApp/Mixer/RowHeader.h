// The frozen left-hand header of one matrix row: the row's icon, name, status with its dot, level
// meters, and its volume controls (a source's volume with its per-channel button and popover, or a
// line's own hardware volume with the label of its link to the monitors); the context menu retries,
// excludes or removes a source, or switches a line's volume link. It keeps no state besides its
// popover: everything comes from RowHeaderModel at each refresh. GUI thread only.
#pragma once

#include <memory>

#include <QPointer>
#include <QWidget>

#include "TandrelApp/Mixer/RowHeaderModel.h"
#include "TandrelApp/Support/KeyedChildren.h"
#include "TandrelApp/Support/Theme.h"

class ElidedLabel;
class GlyphButton;
class LineHardwareVolume;
class LineVolumeLinkLabel;
class LiveMeter;
class MeterStore;
class Popover;
class QHBoxLayout;
class QLabel;
class QMenu;
class QVBoxLayout;
class SourceChannelVolumes;
class StatusDot;
class VolumeControl;

class RowHeader : public QWidget {
    Q_OBJECT

public:
    RowHeader(RoutingController& controller, MeterStore& meters, Theme::Metrics metrics,
              QWidget* parent = nullptr);
    ~RowHeader() override;

    void display(const MatrixRow& row);

    const RowHeaderModel::Header& header() const { return header_; }
    QLabel* icon() const { return icon_; }
    // The glyph shown in place of an application's picture, or empty while the picture is shown.
    const Glyph& iconGlyph() const { return iconGlyph_; }
    ElidedLabel* name() const { return name_; }
    StatusDot* statusDot() const { return dot_; }
    ElidedLabel* statusText() const { return status_; }
    std::vector<LiveMeter*> meters() const;
    VolumeControl* volume() const { return volume_; }
    GlyphButton* channelButton() const { return channelButton_; }
    LineHardwareVolume* lineVolume() const { return lineVolume_; }
    LineVolumeLinkLabel* linkLabel() const { return linkLabel_; }

    // The context menu, built anew; the caller owns it.
    QMenu* buildMenu(QWidget* parent = nullptr);
    // Opens the per-channel volume popover of a source row.
    void showChannels();
    Popover* channelsPopover() const;
    SourceChannelVolumes* channelVolumes() const;

protected:
    void contextMenuEvent(QContextMenuEvent* event) override;

private:
    void showIcon(RowHeaderModel::Icon rowIcon);
    void fitToRow();

    RoutingController& controller_;
    MeterStore& store_;
    Theme::Metrics metrics_;
    RowHeaderModel::Header header_;
    // The icon as last shown, and the glyph drawn for it (empty while it is the application's picture).
    RowHeaderModel::Icon rowIcon_{std::nullopt, {}};
    // The cache key of the application's picture as last shown: 0 while none is, -1 before the first.
    qint64 pictureKey_ = -1;
    Glyph iconGlyph_;
    QLabel* icon_;
    ElidedLabel* name_;
    StatusDot* dot_;
    ElidedLabel* status_;
    QVBoxLayout* column_;
    QHBoxLayout* meterLayout_;
    std::unique_ptr<KeyedChildren<int, LiveMeter>> meters_;
    QWidget* sourceControls_;
    VolumeControl* volume_;
    GlyphButton* channelButton_;
    LineHardwareVolume* lineVolume_;
    LineVolumeLinkLabel* linkLabel_;
    QPointer<Popover> channelsPopover_;
};
