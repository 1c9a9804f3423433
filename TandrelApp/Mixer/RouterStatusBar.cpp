#include "TandrelApp/Mixer/RouterStatusBar.h"

#include <QHBoxLayout>
#include <QLabel>

#include "TandrelApp/Mixer/MixerStyle.h"
#include "TandrelApp/Mixer/RouterViewModel.h"

RouterStatusBar::RouterStatusBar(Theme::Metrics metrics, const std::string& shortVersion, std::int64_t build,
                                 QWidget* parent)
    : QWidget(parent)
    , version_(MixerStyle::label(QString::fromStdString(RouterViewModel::versionText(shortVersion)),
                                 metrics.font(TextStyle::caption), ColorRole::secondary))
    , connections_(MixerStyle::label({}, metrics.font(TextStyle::caption), ColorRole::secondary)) {
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(metrics.px(16), metrics.px(8), metrics.px(16), metrics.px(8));
    layout->setSpacing(metrics.px(16));
    version_->setToolTip(QString::fromStdString(RouterViewModel::versionHelp(shortVersion, build)));
    layout->addWidget(version_);
    layout->addStretch();
    layout->addWidget(connections_);
    setConnectionCount(0);
}

void RouterStatusBar::setConnectionCount(std::size_t connections) {
    connections_->setText(QString::fromStdString(RouterViewModel::connectionCount(connections)));
}
