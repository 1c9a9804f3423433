#include "TandrelApp/Mixer/RouterBanner.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

#include "TandrelApp/Mixer/MixerStyle.h"
#include "TandrelApp/Mixer/RouterViewModel.h"
#include "TandrelApp/Support/GlyphView.h"
#include "TandrelApp/Support/Spinner.h"

RouterBanner::RouterBanner(Theme::Metrics metrics, QWidget* indicator, const char* title, const char* detail,
                           double tint)
    : tint_(tint)
    , indicator_(indicator)
    , title_(MixerStyle::label(QString::fromUtf8(title),
                               metrics.font(TextStyle::callout, {.weight = Theme::Weight::semibold})))
    , detail_(MixerStyle::label(QString::fromUtf8(detail), metrics.font(TextStyle::caption),
                                ColorRole::secondary)) {
    auto* layout = new QHBoxLayout(this);
    const int padding = metrics.px(12);
    layout->setContentsMargins(padding, padding, padding, padding);
    layout->setSpacing(metrics.px(10));
    layout->addWidget(indicator, 0, Qt::AlignVCenter);
    auto* texts = new QVBoxLayout;
    texts->setSpacing(metrics.px(2));
    texts->addWidget(title_);
    detail_->setWordWrap(true);
    texts->addWidget(detail_);
    layout->addLayout(texts, 1);
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
}

RouterBanner* RouterBanner::audioSystem(Theme::Metrics metrics, std::function<void()> onRetry) {
    auto* banner = new RouterBanner(metrics, new Spinner(metrics), RouterViewModel::unresponsiveTitle,
                                    RouterViewModel::unresponsiveDetail, 0.15);
    banner->retry_ = new QPushButton(QString::fromUtf8(RouterViewModel::retryTitle));
    banner->retry_->setFont(metrics.controlFont(ControlSize::regular));
    static_cast<QHBoxLayout*>(banner->layout())->addWidget(banner->retry_, 0, Qt::AlignVCenter);
    connect(banner->retry_, &QPushButton::clicked, banner, [onRetry = std::move(onRetry)] {
        if (onRetry) {
            onRetry();
        }
    });
    return banner;
}

RouterBanner* RouterBanner::driverMissing(Theme::Metrics metrics) {
    auto* symbol = new GlyphView({"exclamationmark.triangle.fill", ColorRole::orange}, metrics.size(18, 18));
    return new RouterBanner(metrics, symbol, RouterViewModel::driverMissingTitle,
                            RouterViewModel::driverMissingDetail, 0.12);
}

QString RouterBanner::title() const {
    return title_->text();
}

QString RouterBanner::detail() const {
    return detail_->text();
}

void RouterBanner::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect(), Theme::color(ColorRole::orange, palette(), tint_));
}
