// The rows of the menu-bar panel: one per configured source and one per line or monitor, each with its
// level meters, its volume and, unfolded, its per-channel (and per-pair) volumes. Rows show what the
// panel passes them and send every edit straight to the controller. GUI thread only.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <QAbstractButton>
#include <QWidget>

#include "TandrelApp/Engine/AudioDeviceInfo.h"
#include "TandrelApp/Routing/MeterStore.h"
#include "TandrelApp/Routing/RoutingConfig.h"
#include "TandrelApp/Support/Glyphs.h"
#include "TandrelApp/Support/KeyedChildren.h"
#include "TandrelApp/Support/Theme.h"

class ChannelVolumeList;
class ElidedLabel;
class GlyphView;
class LiveMeter;
class QHBoxLayout;
class QLabel;
class QVBoxLayout;
class RoutingController;
class VolumeControl;

// "チャンネル" with a chevron: unfolds a row's channel volumes. Orange while the row holds per-channel
// adjustments, so they show even folded.
class UnfoldButton : public QAbstractButton {
    Q_OBJECT

public:
    explicit UnfoldButton(Theme::Metrics metrics, QWidget* parent = nullptr);

    void setState(bool expanded, bool adjusted);
    const Glyph& glyph() const { return glyph_; }

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    Theme::Metrics metrics_;
    Glyph glyph_;
};

// Horizontal meters side by side, one per channel of a meter key, 3 points high.
class MeterBar : public QWidget {
    Q_OBJECT

public:
    MeterBar(MeterStore& store, Theme::Metrics metrics, QWidget* parent = nullptr);

    void display(const MeterKey& key, int channels);
    const std::vector<LiveMeter*>& meters() const { return meters_; }

private:
    MeterStore& store_;
    Theme::Metrics metrics_;
    QHBoxLayout* layout_;
    std::vector<LiveMeter*> meters_;
};

// What both kinds of rows share: the top line (icon, name, detail, unfold button), the meters and the
// volume; each kind adds its unfolded part below.
class PanelRow : public QWidget {
    Q_OBJECT

public:
    QString name() const;
    // The name as drawn, shortened when the row is too narrow.
    QString shownName() const;
    QString detail() const;
    UnfoldButton& unfoldButton() const { return *unfold_; }
    MeterBar& meterBar() const { return *meterBar_; }
    VolumeControl& volume() const { return *volume_; }
    // Called when the unfold button is pressed; the panel keeps which rows are unfolded.
    void setOnUnfold(std::function<void()> onUnfold) { onUnfold_ = std::move(onUnfold); }

protected:
    PanelRow(MeterStore& meters, Theme::Metrics metrics, QWidget* parent);

    // The icon's place on the top line.
    QHBoxLayout& iconSlot() const { return *iconSlot_; }
    QVBoxLayout& rows() const { return *rows_; }
    void setTexts(const QString& name, const QString& detail);

    Theme::Metrics metrics_;

private:
    QVBoxLayout* rows_;
    QHBoxLayout* iconSlot_;
    ElidedLabel* name_;
    QLabel* detail_;
    UnfoldButton* unfold_;
    MeterBar* meterBar_;
    VolumeControl* volume_;
    std::function<void()> onUnfold_;
};

// One configured source: its icon, name and status word, two meters, its volume, and unfolded the
// volume of each of its channels.
class SourceRow : public PanelRow {
    Q_OBJECT

public:
    SourceRow(std::weak_ptr<RoutingController> controller, MeterStore& meters, Theme::Metrics metrics,
              QWidget* parent = nullptr);

    // `channelCount` is the running producer's, none while the source does not run.
    void display(const SourceConfig& source, const std::string& status,
                 std::optional<std::uint32_t> channelCount, bool expanded);

    // The symbol shown in place of an application icon; none while an icon is shown.
    std::optional<std::string> iconSymbol() const;
    ChannelVolumeList& channels() const { return *channels_; }

private:
    std::weak_ptr<RoutingController> controller_;
    UUID id_;
    QLabel* appIcon_;
    GlyphView* symbol_;
    ChannelVolumeList* channels_;
};

// One line or monitor: its symbol, name and channel count, its meters, its master volume, and unfolded
// a volume per pair with the pair's channels below it.
class DeviceRow : public PanelRow {
    Q_OBJECT

public:
    DeviceRow(std::weak_ptr<RoutingController> controller, MeterStore& meters, Theme::Metrics metrics,
              const std::string& symbol, QWidget* parent = nullptr);
    ~DeviceRow() override;

    void display(const AudioDeviceInfo& device, const DeviceVolume& volume, bool expanded);

    class Pair;
    // The unfolded pairs in order; empty while folded.
    std::vector<Pair*> pairs() const;

private:
    std::weak_ptr<RoutingController> controller_;
    std::string uid_;
    QWidget* pairBox_;
    std::unique_ptr<KeyedChildren<int, Pair>> pairs_;
};

// One pair of an unfolded device row: its label and volume, and its channels.
class DeviceRow::Pair : public QWidget {
    Q_OBJECT

public:
    Pair(DeviceRow& row, int pair);

    void display(const AudioDeviceInfo& device, const DeviceVolume& volume);

    QString label() const;
    VolumeControl& volume() const { return *volume_; }
    ChannelVolumeList& channels() const { return *channels_; }

private:
    DeviceRow& row_;
    int pair_;
    QLabel* label_;
    VolumeControl* volume_;
    ChannelVolumeList* channels_;
};
