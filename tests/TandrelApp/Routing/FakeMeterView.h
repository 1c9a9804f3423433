// A meter view without a widget: it records every level the store makes it draw.
#pragma once

#include <vector>

#include "TandrelApp/Routing/MeterStore.h"

class FakeMeterView : public MeterView {
public:
    FakeMeterView(MeterKey key, int channel, bool visible = true)
        : visible(visible)
        , key_(std::move(key))
        , channel_(channel) {}

    MeterKey key() const override { return key_; }
    int channel() const override { return channel_; }
    float value() const override { return value_; }
    void setValue(float level) override { value_ = level; }
    void redraw() override { drawn.push_back(value_); }
    bool isInVisibleWindow() const override { return visible; }

    bool visible;
    std::vector<float> drawn;

private:
    MeterKey key_;
    int channel_;
    float value_ = 0.0f;
};
