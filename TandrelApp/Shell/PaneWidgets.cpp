#include "TandrelApp/Shell/PaneWidgets.h"

#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "TandrelApp/Mixer/MixerStyle.h"

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

QLabel* label(std::string_view utf8, const QFont& font, ColorRole role) {
    return MixerStyle::label(text(utf8), font, role);
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

QPushButton* button(std::string_view title, const Theme::Metrics& metrics) {
    return new RoomyButton(text(title), metrics.px(kButtonPadding));
}

} // namespace PaneWidgets
