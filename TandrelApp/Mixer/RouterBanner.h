// The banners above the matrix, on an orange tint: an audio system that does not answer (a spinner,
// two lines of text and "再試行") and a missing driver (a warning symbol and two lines). The router
// view shows at most one of them. GUI thread only.
#pragma once

#include <functional>

#include <QWidget>

#include "TandrelApp/Support/Theme.h"

class QLabel;
class QPushButton;

class RouterBanner : public QWidget {
    Q_OBJECT

public:
    // The audio-system banner; `onRetry` is what "再試行" does.
    static RouterBanner* audioSystem(Theme::Metrics metrics, std::function<void()> onRetry);
    static RouterBanner* driverMissing(Theme::Metrics metrics);

    QString title() const;
    QString detail() const;
    // "再試行", on the audio-system banner only.
    QPushButton* retryButton() const { return retry_; }
    // The spinner of the audio-system banner, or the symbol of the driver banner.
    QWidget* indicator() const { return indicator_; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    RouterBanner(Theme::Metrics metrics, QWidget* indicator, const char* title, const char* detail,
                 double tint);

    double tint_;
    QWidget* indicator_;
    QLabel* title_;
    QLabel* detail_;
    QPushButton* retry_ = nullptr;
};
