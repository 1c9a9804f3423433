// An on/off switch drawn as a pill with a sliding knob, the capture lab's switch of each target. It
// shows the state it is given and only reports a click: what the click does, and so what it shows next,
// is the owner's to decide. Like borderless buttons, a click does not take the keyboard focus.
#pragma once

#include <QAbstractButton>

#include "TandrelApp/Support/Theme.h"

class ToggleSwitch : public QAbstractButton {
    Q_OBJECT

public:
    explicit ToggleSwitch(Theme::Metrics metrics, QWidget* parent = nullptr);

    bool isOn() const { return on_; }
    void setOn(bool on);

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;

private:
    Theme::Metrics metrics_;
    bool on_ = false;
    bool keyboardFocus_ = false;
};
