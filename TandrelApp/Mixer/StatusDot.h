// The small filled circle before a row's status text, in the status's colour.
#pragma once

#include <QWidget>

#include "TandrelApp/Support/Theme.h"

class StatusDot : public QWidget {
    Q_OBJECT

public:
    StatusDot(ColorRole color, Theme::Metrics metrics, QWidget* parent = nullptr);

    void setColor(ColorRole color);
    ColorRole color() const { return color_; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    ColorRole color_;
};
