#include "TandrelApp/Mixer/MixerStyle.h"

#include <algorithm>

#include <QApplication>
#include <QPainter>

#include "TandrelApp/Mixer/MatrixMetrics.h"

namespace MixerStyle {

namespace {

// A line painted in the divider colour, so it follows the palette like the rest of the window.
class Divider : public QFrame {
public:
    Divider() {
        setFixedHeight(1);
        setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.fillRect(rect(), dividerColor(palette()));
    }
};

} // namespace

QColor dividerColor(const QPalette& palette) {
    return Theme::color(ColorRole::primary, palette, 0.12);
}

void setTextColor(QWidget& widget, ColorRole role) {
    // From the application's palette: the widget's own may hold a colour set here before.
    QPalette colors = widget.palette();
    const QColor color = Theme::color(role, QApplication::palette(&widget));
    if (colors.color(QPalette::WindowText) != color) {
        colors.setColor(QPalette::WindowText, color);
        colors.setColor(QPalette::Text, color);
        widget.setPalette(colors);
    }
}

QLabel* label(const QString& text, const QFont& font, ColorRole role) {
    auto* label = new QLabel(text);
    label->setFont(font);
    label->setTextFormat(Qt::PlainText);
    setTextColor(*label, role);
    return label;
}

int groupPixels(const Theme::Metrics& metrics, std::size_t columns) {
    return std::max(metrics.px(MatrixMetrics::columnWidth) * static_cast<int>(columns),
                    metrics.px(MatrixMetrics::minimumGroupWidth));
}

QFrame* divider() {
    return new Divider;
}

} // namespace MixerStyle
