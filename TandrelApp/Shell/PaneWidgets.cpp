#include "TandrelApp/Shell/PaneWidgets.h"

#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace PaneWidgets {

namespace {

// A pushbutton's title keeps this much more room on each side than the style gives it, in points.
constexpr double kButtonPadding = 8;

// A button that keeps its minimum width in step with its title.
class RoomyButton : public QPushButton {
public:
    RoomyButton(const QString& title, int padding)
        : QPushButton(title)
        , padding_(padding) {}

    QSize sizeHint() const override {
        QSize hint = QPushButton::sizeHint();
        hint.rwidth() += 2 * padding_;
        return hint;
    }
    QSize minimumSizeHint() const override { return sizeHint(); }

private:
    int padding_;
};

} // namespace

QString text(std::string_view utf8) {
    return QString::fromUtf8(utf8.data(), static_cast<qsizetype>(utf8.size()));
}

void paintRole(QWidget& widget, ColorRole role) {
    QPalette colors = widget.palette();
    colors.setColor(QPalette::WindowText, Theme::color(role, colors));
    widget.setPalette(colors);
}

QLabel* label(std::string_view utf8, const QFont& font, ColorRole role) {
    auto* out = new QLabel(text(utf8));
    out->setFont(font);
    paintRole(*out, role);
    return out;
}

QLabel* wrappedLabel(std::string_view utf8, const QFont& font, ColorRole role) {
    QLabel* out = label(utf8, font, role);
    out->setWordWrap(true);
    return out;
}

QVBoxLayout* paneColumn(QWidget& pane, const Theme::Metrics& metrics, std::string_view explanation) {
    auto* layout = new QVBoxLayout(&pane);
    const int padding = metrics.px(20);
    layout->setContentsMargins(padding, padding, padding, padding);
    layout->setSpacing(metrics.px(12));
    layout->addWidget(wrappedLabel(explanation, metrics.font(TextStyle::callout), ColorRole::secondary));
    return layout;
}

QWidget* hairline() {
    auto* line = new QWidget;
    line->setFixedHeight(1);
    line->setAutoFillBackground(true);
    QPalette colors = line->palette();
    colors.setColor(QPalette::Window, Theme::color(ColorRole::tertiary, colors));
    line->setPalette(colors);
    line->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    return line;
}

QPushButton* button(std::string_view title, const Theme::Metrics& metrics) {
    return new RoomyButton(text(title), metrics.px(kButtonPadding));
}

} // namespace PaneWidgets
