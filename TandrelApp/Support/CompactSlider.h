// A painted horizontal slider in the desktop's small and mini control sizes: a thin track filled in the
// accent colour up to a round knob. A press anywhere on it moves the knob there and drags it. It
// reports only what the user does (userMoved), never values set from code, so a view can show the
// value its caller passes back without echoing it. Wheel events pass on to the scroll area around it.
#pragma once

#include <QAbstractSlider>

#include "TandrelApp/Support/Theme.h"

class CompactSlider : public QAbstractSlider {
    Q_OBJECT

public:
    CompactSlider(Theme::Metrics metrics, ControlSize size, QWidget* parent = nullptr);

    // The knob's rectangle at the current value, in the slider's coordinates.
    QRectF knobRect() const;
    // The value under a horizontal position, limited to the range.
    int valueAt(double x) const;
    // The horizontal position of the knob's centre for a value.
    double positionOf(int value) const;

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

signals:
    // The user moved the knob to `value` (pointer or keys).
    void userMoved(int value);

protected:
    void paintEvent(QPaintEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;

private:
    void moveTo(double x);

    Theme::Metrics metrics_;
    ControlSize size_;
    // The focus ring shows only for focus that came from the keyboard, not for a window's first focus.
    bool keyboardFocus_ = false;
};
