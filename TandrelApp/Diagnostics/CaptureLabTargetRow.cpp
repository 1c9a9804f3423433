#include "TandrelApp/Diagnostics/CaptureLabTargetRow.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "TandrelApp/Diagnostics/CaptureLabDetail.h"
#include "TandrelApp/Diagnostics/CaptureLabStyle.h"
#include "TandrelApp/Diagnostics/CaptureLabViewModel.h"
#include "TandrelApp/Diagnostics/ToggleSwitch.h"
#include "TandrelApp/Support/GlyphView.h"
#include "TandrelApp/Support/Glyphs.h"
#include "TandrelApp/Support/SpawnOnMain.h"

namespace {

// In points.
constexpr double kIconSize = 22;
constexpr double kLineSpacing = 10;
constexpr double kRowSpacing = 6;
constexpr double kRowMargin = 4;
constexpr double kRecordGlyph = 14;

} // namespace

CaptureLabTargetRow::CaptureLabTargetRow(std::shared_ptr<CaptureLabModel> model, CaptureTarget target,
                                         std::optional<QImage> icon, Theme::Metrics metrics, QWidget* parent)
    : QWidget(parent)
    , model_(std::move(model))
    , target_(std::move(target))
    , metrics_(metrics) {
    build();
    setIcon(std::move(icon));
    refresh();
}

CaptureLabTargetRow::CaptureLabTargetRow(std::shared_ptr<CaptureLabModel> model, Theme::Metrics metrics,
                                         QWidget* parent)
    : QWidget(parent)
    , model_(std::move(model))
    , target_(CaptureTarget::systemAudio())
    , metrics_(metrics) {
    build();
    setIcon(std::nullopt);
    symbol_->setGlyph(CaptureLabViewModel::systemIcon);
    refresh();
}

CaptureLabTargetRow::~CaptureLabTargetRow() = default;

void CaptureLabTargetRow::build() {
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, metrics_.px(kRowMargin), 0, metrics_.px(kRowMargin));
    column->setSpacing(metrics_.px(kRowSpacing));

    auto* line = new QHBoxLayout;
    line->setSpacing(metrics_.px(kLineSpacing));
    const QSize iconSize = metrics_.size(kIconSize, kIconSize);
    picture_ = new QLabel(this);
    picture_->setFixedSize(iconSize);
    picture_->setAlignment(Qt::AlignCenter);
    symbol_ = new GlyphView(CaptureLabViewModel::placeholderIcon, iconSize, this);
    name_ = new QLabel(QString::fromStdString(target_.displayName()), this);
    name_->setFont(metrics_.font(TextStyle::body));
    name_->setTextFormat(Qt::PlainText);
    record_ = new QPushButton(this);
    record_->setFont(metrics_.controlFont(ControlSize::small));
    record_->setFocusPolicy(Qt::TabFocus);
    switch_ = new ToggleSwitch(metrics_, this);
    line->addWidget(picture_);
    line->addWidget(symbol_);
    line->addWidget(name_, 1);
    line->addWidget(record_);
    line->addWidget(switch_);
    column->addLayout(line);

    detail_ = new CaptureLabDetail(metrics_, this);
    column->addWidget(detail_);

    connect(switch_, &ToggleSwitch::clicked, this, &CaptureLabTargetRow::flip);
    connect(record_, &QPushButton::clicked, this, [this] {
        if (capture_) {
            model_->toggleRecording(*capture_);
        }
    });
    connect(model_.get(), &CaptureLabModel::capturesChanged, this, &CaptureLabTargetRow::refresh);
}

void CaptureLabTargetRow::setTarget(CaptureTarget target) {
    if (target == target_) {
        return;
    }
    target_ = std::move(target);
    name_->setText(QString::fromStdString(target_.displayName()));
    refresh();
}

void CaptureLabTargetRow::setIcon(std::optional<QImage> icon) {
    if (icon && !icon->isNull()) {
        const QSize size = picture_->size();
        QPixmap pixmap = QPixmap::fromImage(
            icon->scaled(size * devicePixelRatioF(), Qt::KeepAspectRatio, Qt::SmoothTransformation));
        pixmap.setDevicePixelRatio(devicePixelRatioF());
        picture_->setPixmap(pixmap);
        picture_->show();
        symbol_->hide();
    } else {
        picture_->hide();
        symbol_->show();
    }
}

bool CaptureLabTargetRow::showsPicture() const {
    return !picture_->isHidden();
}

QRect CaptureLabTargetRow::iconGeometry() const {
    return showsPicture() ? picture_->geometry() : symbol_->geometry();
}

void CaptureLabTargetRow::refresh() {
    follow(model_->capture(target_));
    switch_->setOn(model_->isCapturing(target_));
    showCapture();
}

void CaptureLabTargetRow::follow(std::shared_ptr<CaptureLabModel::ActiveCapture> capture) {
    if (capture == capture_) {
        return;
    }
    disconnect(captureConnection_);
    capture_ = std::move(capture);
    if (capture_) {
        captureConnection_ = connect(capture_.get(), &CaptureLabActiveCapture::changed, this,
                                     &CaptureLabTargetRow::showCapture);
    }
}

void CaptureLabTargetRow::showCapture() {
    record_->setVisible(capture_ != nullptr);
    detail_->setVisible(capture_ != nullptr);
    if (!capture_) {
        return;
    }
    showRecording(capture_->recordingPath().has_value());
    detail_->refresh(*capture_);
}

// Changes the button only when the recording starts or stops, not on every meter refresh.
void CaptureLabTargetRow::showRecording(bool recording) {
    if (shownRecording_ == recording) {
        return;
    }
    shownRecording_ = recording;
    const auto face = CaptureLabViewModel::recordButton(recording);
    record_->setText(CaptureLabStyle::text(face.title));
    const QColor tint = Theme::color(face.glyph.role, palette());
    const double glyphSize = metrics_.length(kRecordGlyph);
    record_->setIcon(
        QIcon(Glyphs::pixmap(face.glyph.name, tint, QSizeF(glyphSize, glyphSize), devicePixelRatioF())));
    record_->setIconSize(metrics_.size(kRecordGlyph, kRecordGlyph));
    QPalette colors = palette();
    if (face.glyph.role != ColorRole::primary) {
        colors.setColor(QPalette::ButtonText, tint);
    }
    record_->setPalette(colors);
}

void CaptureLabTargetRow::flip() {
    std::weak_ptr<CaptureLabModel> weak = model_;
    spawnOnMain([weak, target = target_] { return CaptureLabModel::toggleTarget(weak, target); });
}
