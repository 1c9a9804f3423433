// A small indeterminate progress indicator: a ring with a turning bright arc, moving only while shown.
// The mixer window's banners and the update notice show it. GUI thread only.
#pragma once

#include <QTimer>
#include <QWidget>

#include "TandrelApp/Support/Theme.h"

class Spinner : public QWidget {
    Q_OBJECT

public:
    // `points` is the indicator's side.
    explicit Spinner(const Theme::Metrics& metrics, double points = 16, QWidget* parent = nullptr);

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    QTimer timer_;
    int angle_ = 0;
};
