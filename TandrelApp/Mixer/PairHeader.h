// The header of one matrix column (a stereo pair, or one channel of a split pair): live meters for its
// channels, its vertical fader and "M" mute button (or, with the device's faders hidden, a short volume
// badge), and its label. A click on the label opens the column's detail popover; the context menu
// splits or joins the pair and shows or hides the device's faders. Everything it shows comes from
// PairHeaderModel at each refresh; each control calls one controller operation. GUI thread only.
#pragma once

#include <memory>

#include <QPointer>
#include <QWidget>

#include "TandrelApp/Mixer/PairHeaderModel.h"
#include "TandrelApp/Support/KeyedChildren.h"
#include "TandrelApp/Support/Theme.h"

class LiveMeter;
class MeterStore;
class PairVolumeDetail;
class Popover;
class QAbstractButton;
class QHBoxLayout;
class QLabel;
class QMenu;
class RoutingController;
class VerticalFader;

class PairHeader : public QWidget {
    Q_OBJECT

public:
    PairHeader(RoutingController& controller, MeterStore& meters, Theme::Metrics metrics,
               QWidget* parent = nullptr);
    ~PairHeader() override;

    void display(const AudioDeviceInfo& device, MatrixColumn column);

    const PairHeaderModel::Header& header() const { return header_; }
    std::vector<LiveMeter*> meters() const;
    VerticalFader* fader() const { return fader_; }
    QAbstractButton* muteButton() const;
    QLabel* label() const { return label_; }
    QLabel* levelText() const { return levelText_; }
    QWidget* levelArea() const { return levelArea_; }
    // The label and level text, whose click opens the popover.
    QWidget* captionBlock() const { return captionBlock_; }

    // The context menu, built anew; the caller owns it.
    QMenu* buildMenu(QWidget* parent = nullptr);
    // Opens the detail popover (a click on the caption block).
    void showDetail();
    Popover* detailPopover() const;
    PairVolumeDetail* detail() const;
    // The split button: closes the popover, then splits or joins the pair.
    void pressSplit();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;

private:
    class MuteButton;

    void refreshDetail();

    RoutingController& controller_;
    MeterStore& store_;
    Theme::Metrics metrics_;
    PairHeaderModel::Header header_;
    QWidget* levelArea_;
    QHBoxLayout* meterLayout_;
    std::unique_ptr<KeyedChildren<int, LiveMeter>> meters_;
    VerticalFader* fader_;
    QWidget* captionBlock_;
    QLabel* label_;
    QLabel* levelText_;
    MuteButton* muteButton_;
    QPointer<Popover> detailPopover_;
};
