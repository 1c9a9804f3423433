// A thin level meter for one channel of a source or a device: a track and a bar on a 60 dB scale,
// green, yellow above -12 dBFS and red above -3 dBFS. The meter registers with the controller's
// MeterStore, which writes its level fifteen times a second while it is on screen; the meter repaints
// only when what it shows changed: its colour, or the bar's edge by a quarter of a device pixel or more
// (a steady tone's level wavers by far less). It never reads the audio itself. GUI thread only.
#pragma once

#include <optional>

#include <QPointer>
#include <QWidget>

#include "TandrelApp/Routing/MeterStore.h"
#include "TandrelApp/Support/Theme.h"

class LiveMeter : public QWidget, public MeterView {
    Q_OBJECT

public:
    LiveMeter(MeterStore& store, MeterKey key, int channel, bool vertical, Theme::Metrics metrics,
              QWidget* parent = nullptr);

    // Shows another key, channel or orientation, taking its level from the store at once; the same
    // ones change nothing.
    void configure(MeterKey key, int channel, bool vertical);
    bool isVertical() const { return vertical_; }

    // The bar's rectangle for the current level, in the meter's coordinates.
    QRectF fillRect() const;

    MeterKey key() const override { return key_; }
    int channel() const override { return channel_; }
    float value() const override { return value_; }
    void setValue(float level) override { value_ = level; }
    void redraw() override;
    bool isInVisibleWindow() const override;

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    // What the meter shows of its level: the bar's moving edge in quarters of a device pixel, and its
    // colour.
    struct Shown {
        long edge = 0;
        ColorRole color = ColorRole::green;
        bool operator==(const Shown&) const = default;
    };
    Shown shown() const;
    void applyOrientation();
    void takeLevel();

    // The store may go before its meters (at the end of a run); a meter without one shows silence.
    QPointer<MeterStore> store_;
    MeterKey key_;
    int channel_;
    bool vertical_;
    Theme::Metrics metrics_;
    // Below any level, so the first one read is drawn.
    float value_ = -1.0f;
    std::optional<Shown> painted_; // as of the last paint
};
