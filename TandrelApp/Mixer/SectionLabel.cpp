#include "TandrelApp/Mixer/SectionLabel.h"

#include <QPainter>

#include "TandrelApp/Mixer/MatrixMetrics.h"
#include "TandrelApp/Mixer/MixerStyle.h"

namespace {

// Space under the divider and between the title and the divider, in points.
constexpr double kBottomPadding = 4;
constexpr double kSpacing = 2;

} // namespace

SectionLabel::SectionLabel(Theme::Metrics metrics, QWidget* parent)
    : QWidget(parent)
    , metrics_(metrics) {
    setFont(metrics.font(TextStyle::caption, {.weight = Theme::Weight::semibold}));
}

void SectionLabel::display(const QString& title, double width) {
    setFixedSize(metrics_.size(width, MatrixMetrics::sectionRowHeight));
    if (title != title_) {
        title_ = title;
        update();
    }
}

QRect SectionLabel::dividerRect() const {
    return {0, height() - metrics_.px(kBottomPadding) - 1, width(), 1};
}

void SectionLabel::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    const QRect divider = dividerRect();
    painter.fillRect(divider, MixerStyle::dividerColor(palette()));
    const int textHeight = fontMetrics().height();
    const QRect text(0, divider.top() - metrics_.px(kSpacing) - textHeight, width(), textHeight);
    painter.setPen(Theme::color(ColorRole::secondary, palette()));
    painter.drawText(text, Qt::AlignLeft | Qt::AlignVCenter,
                     fontMetrics().elidedText(title_, Qt::ElideRight, width()));
}
