// The narrow vertical volume fader of a destination column: a track, the level's fill in the accent
// colour, a tick at 0 dB and a knob on the fill's top. A press or drag anywhere sets the level under the
// pointer (0.5 dB steps, caught at 0 dB); a double click resets to 0 dB. It shows the level the caller
// passes back and dims while muted. The knob may stand half out of the track at either end, so the
// widget is half a knob taller than the track above and below. GUI thread only.
#pragma once

#include <functional>

#include <QWidget>

#include "TandrelApp/Support/Theme.h"

class VerticalFader : public QWidget {
    Q_OBJECT

public:
    using OnChange = std::function<void(float dB)>;

    // `height` is the track's height in points (the pair header passes 80).
    explicit VerticalFader(Theme::Metrics metrics, double height = 80, QWidget* parent = nullptr);

    void setValue(float dB, bool isMuted);
    void setOnChange(OnChange onChange) { onChange_ = std::move(onChange); }

    float dB() const { return dB_; }
    bool isMuted() const { return isMuted_; }

    // The parts as drawn, in the widget's coordinates.
    QRectF trackRect() const;
    QRectF fillRect() const;
    QRectF tickRect() const;
    QRectF knobRect() const;

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;

private:
    void report(float dB);
    void reportAt(double y);
    double trackTop() const;
    double trackHeight() const;

    Theme::Metrics metrics_;
    double height_;
    float dB_ = 0.0f;
    bool isMuted_ = false;
    bool dragging_ = false;
    OnChange onChange_;
};
