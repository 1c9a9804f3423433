// The details of one running capture in the capture lab: a level bar per channel, the statistics line
// and, when the source stopped by itself, its error. The target's row shows it below its name while the
// capture runs and refreshes it on every change of the capture.
#pragma once

#include <vector>

#include <QWidget>

#include "TandrelApp/Diagnostics/CaptureLabModel.h"
#include "TandrelApp/Support/Theme.h"

class QLabel;
class QVBoxLayout;

// One horizontal bar of a linear peak level on a 60 dB scale, coloured like the mixer's meters.
class LevelBar : public QWidget {
    Q_OBJECT

public:
    explicit LevelBar(Theme::Metrics metrics, QWidget* parent = nullptr);

    float value() const { return value_; }
    void setValue(float value);
    // The filled part (0 ... 1) and its colour.
    float fraction() const;
    ColorRole colorRole() const;

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    Theme::Metrics metrics_;
    float value_ = 0.0f;
};

class CaptureLabDetail : public QWidget {
    Q_OBJECT

public:
    explicit CaptureLabDetail(Theme::Metrics metrics, QWidget* parent = nullptr);

    // Shows the capture's latest peaks, statistics and error.
    void refresh(const CaptureLabModel::ActiveCapture& capture);

    const std::vector<LevelBar*>& levelBars() const { return bars_; }
    const std::vector<QLabel*>& channelLabels() const { return channelLabels_; }
    QLabel& statisticsLabel() const { return *statistics_; }
    QLabel& errorLabel() const { return *error_; }

private:
    void setChannelCount(std::size_t channels);

    Theme::Metrics metrics_;
    QVBoxLayout* layout_;
    std::vector<QWidget*> channelRows_;
    std::vector<QLabel*> channelLabels_;
    std::vector<LevelBar*> bars_;
    QLabel* statistics_;
    QLabel* error_;
};
