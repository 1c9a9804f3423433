#include "TandrelApp/Updater/UpdateNotice.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>
#include <QToolButton>
#include <QVBoxLayout>

#include "TandrelApp/Support/ActionMenu.h"
#include "TandrelApp/Support/GlyphView.h"
#include "TandrelApp/Support/Glyphs.h"
#include "TandrelApp/Support/PlainText.h"
#include "TandrelApp/Support/Spinner.h"
#include "TandrelApp/Updater/UpdateChecker.h"
#include "TandrelApp/Updater/UpdateInstaller.h"

namespace {

QString text(const std::string& utf8) {
    return QString::fromStdString(utf8);
}

QLabel* label(const QFont& font, ColorRole role) {
    auto* label = new QLabel;
    label->setTextFormat(Qt::PlainText);
    label->setFont(font);
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, Theme::color(role, palette));
    label->setPalette(palette);
    return label;
}

// A one-line label that shortens its text with "…" to the width it is given, whenever that changes.
class ElidedLabel : public QLabel {
public:
    void setFullText(const QString& text) {
        fullText_ = text;
        setToolTip(PlainText::toolTip(text));
        elide();
    }
    QSize minimumSizeHint() const override { return {0, QLabel::minimumSizeHint().height()}; }

protected:
    void resizeEvent(QResizeEvent* event) override {
        QLabel::resizeEvent(event);
        elide();
    }

private:
    void elide() { setText(fontMetrics().elidedText(fullText_, Qt::ElideRight, std::max(width(), 1))); }

    QString fullText_;
};

QHBoxLayout* row(QWidget& widget, const Theme::Metrics& metrics) {
    auto* layout = new QHBoxLayout(&widget);
    layout->setSpacing(metrics.px(10));
    layout->setContentsMargins(0, 0, 0, 0);
    return layout;
}

} // namespace

UpdateNotice::UpdateNotice(UpdateChecker& checker, UpdateInstaller& installer, bool compact,
                           Theme::Metrics metrics, QWidget* parent)
    : QWidget(parent)
    , checker_(checker)
    , installer_(installer)
    , compact_(compact)
    , metrics_(metrics) {
    auto* layout = new QVBoxLayout(this);
    if (compact_) {
        layout->setContentsMargins(0, metrics_.px(4), 0, metrics_.px(4));
        buildCompactButton();
    } else {
        layout->setContentsMargins(metrics_.px(16), metrics_.px(10), metrics_.px(16), metrics_.px(10));
        buildBanner();
    }
    buildProgressRow();
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);

    connect(&checker_, &UpdateChecker::stateChanged, this, &UpdateNotice::refresh);
    connect(&checker_, &UpdateChecker::changed, this, &UpdateNotice::refresh);
    connect(&installer_, &UpdateInstaller::phaseChanged, this, &UpdateNotice::refresh);
    refresh();
}

void UpdateNotice::buildBanner() {
    banner_ = new QWidget;
    auto* layout = row(*banner_, metrics_);
    layout->addWidget(new GlyphView({"arrow.down.circle.fill", ColorRole::accent}, metrics_.size(20, 20)), 0,
                      Qt::AlignVCenter);

    auto* column = new QVBoxLayout;
    column->setSpacing(metrics_.px(1));
    title_ =
        label(metrics_.font(TextStyle::callout, {.weight = Theme::Weight::semibold}), ColorRole::primary);
    auto* subtitle = new ElidedLabel;
    subtitle->setTextFormat(Qt::PlainText);
    subtitle->setFont(metrics_.font(TextStyle::caption));
    QPalette secondary = subtitle->palette();
    secondary.setColor(QPalette::WindowText, Theme::color(ColorRole::secondary, secondary));
    subtitle->setPalette(secondary);
    subtitle->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    subtitle_ = subtitle;
    column->addWidget(title_);
    column->addWidget(subtitle_);
    layout->addLayout(column, 1);

    skip_ = new QPushButton(QStringLiteral("このバージョンをスキップ"));
    skip_->setFlat(true);
    skip_->setFont(metrics_.controlFont(ControlSize::regular));
    update_ = new QPushButton(QStringLiteral("今すぐアップデート"));
    update_->setDefault(true);
    update_->setFont(metrics_.controlFont(ControlSize::regular));
    // The prominent button: filled with the accent colour.
    QPalette prominent = update_->palette();
    prominent.setColor(QPalette::Button, Theme::color(ColorRole::accent, prominent));
    prominent.setColor(QPalette::ButtonText, Qt::white);
    update_->setPalette(prominent);
    layout->addWidget(skip_, 0, Qt::AlignVCenter);
    layout->addWidget(update_, 0, Qt::AlignVCenter);
    this->layout()->addWidget(banner_);

    connect(skip_, &QPushButton::clicked, this, [this] {
        if (auto release = checker_.availableRelease()) {
            checker_.skipVersion(release->version);
        }
    });
    connect(update_, &QPushButton::clicked, this, &UpdateNotice::installAvailable);
}

void UpdateNotice::buildCompactButton() {
    compactButton_ = new QToolButton;
    compactButton_->setAutoRaise(true);
    compactButton_->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    compactButton_->setFont(metrics_.font(TextStyle::caption, {.weight = Theme::Weight::semibold}));
    const double side = metrics_.length(14);
    compactButton_->setIcon(
        QIcon(Glyphs::pixmap("arrow.down.circle.fill", Theme::color(ColorRole::accent, palette()),
                             {side, side}, devicePixelRatioF())));
    compactButton_->setIconSize(metrics_.size(14, 14));
    layout()->addWidget(compactButton_);
    layout()->setAlignment(compactButton_, Qt::AlignLeft);
    connect(compactButton_, &QToolButton::clicked, this, &UpdateNotice::installAvailable);
}

void UpdateNotice::buildProgressRow() {
    progressRow_ = new QWidget;
    auto* layout = row(*progressRow_, metrics_);
    bar_ = new QProgressBar;
    bar_->setRange(0, 1000);
    bar_->setTextVisible(false);
    bar_->setFixedWidth(metrics_.px(compact_ ? 80 : 160));
    bar_->setFixedHeight(metrics_.px(6));
    spinner_ = new Spinner(metrics_, 14);
    progressText_ =
        label(metrics_.font(compact_ ? TextStyle::caption : TextStyle::callout), ColorRole::primary);
    layout->addWidget(bar_, 0, Qt::AlignVCenter);
    layout->addWidget(spinner_, 0, Qt::AlignVCenter);
    layout->addWidget(progressText_, compact_ ? 1 : 0, Qt::AlignVCenter);
    if (!compact_) {
        layout->addStretch(1);
        cancel_ = new QPushButton(QStringLiteral("キャンセル"));
        cancel_->setFlat(true);
        cancel_->setFont(metrics_.controlFont(ControlSize::regular));
        layout->addWidget(cancel_, 0, Qt::AlignVCenter);
        connect(cancel_, &QPushButton::clicked, this, [this] { installer_.cancel(); });
    }
    this->layout()->addWidget(progressRow_);
}

void UpdateNotice::installAvailable() {
    if (auto release = checker_.availableRelease()) {
        installer_.install(*release);
    }
}

void UpdateNotice::refresh() {
    content_ = UpdateNoticeModel::content(installer_.phase(), checker_.availableRelease(),
                                          checker_.currentVersion(), compact_);
    const auto* progress = std::get_if<UpdateNoticeModel::Progress>(&content_);
    const auto* banner = std::get_if<UpdateNoticeModel::Banner>(&content_);
    const auto* button = std::get_if<UpdateNoticeModel::CompactButton>(&content_);

    progressRow_->setVisible(progress != nullptr);
    if (progress) {
        progressText_->setText(text(progress->text));
        bar_->setVisible(progress->fraction.has_value());
        spinner_->setVisible(!progress->fraction.has_value());
        bar_->setValue(int(progress->fraction.value_or(0) * 1000 + 0.5));
        if (cancel_) {
            cancel_->setVisible(progress->cancellable);
        }
    }
    if (banner_) {
        banner_->setVisible(banner != nullptr);
        if (banner) {
            title_->setText(text(banner->title));
            static_cast<ElidedLabel*>(subtitle_)->setFullText(text(banner->subtitle));
        }
    }
    if (compactButton_) {
        compactButton_->setVisible(button != nullptr);
        if (button) {
            compactButton_->setText(ActionMenu::literal(text(button->title)));
            compactButton_->setToolTip(PlainText::toolTip(text(button->toolTip)));
        }
    }
    if (std::holds_alternative<std::monostate>(content_)) {
        hide();
    } else if (parentWidget()) {
        show();
    } else {
        // Not yet placed: showing would open a window of its own. Undo the explicit hide instead, so the
        // notice appears with the window it is added to.
        setAttribute(Qt::WA_WState_ExplicitShowHide, false);
    }
    update();
}

void UpdateNotice::paintEvent(QPaintEvent*) {
    if (compact_) {
        return;
    }
    QPainter painter(this);
    painter.fillRect(rect(), Theme::color(ColorRole::accent, palette(), 0.12));
}
