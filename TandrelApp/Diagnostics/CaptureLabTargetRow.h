// One target of the capture lab, the whole system or one application: its icon and name, the record
// button while it is captured, the switch that starts and stops its capture, and below them the
// capture's details. The capture lab window makes one per target and refreshes it from the model.
#pragma once

#include <memory>
#include <optional>

#include <QImage>
#include <QMetaObject>
#include <QWidget>

#include "TandrelApp/Diagnostics/CaptureLabModel.h"
#include "TandrelApp/Support/Theme.h"

class CaptureLabDetail;
class GlyphView;
class QLabel;
class QPushButton;
class ToggleSwitch;

class CaptureLabTargetRow : public QWidget {
    Q_OBJECT

public:
    // An application without an icon of its own shows the generic one.
    CaptureLabTargetRow(std::shared_ptr<CaptureLabModel> model, CaptureTarget target,
                        std::optional<QImage> icon, Theme::Metrics metrics, QWidget* parent = nullptr);
    // The whole system's row, with its speaker symbol.
    CaptureLabTargetRow(std::shared_ptr<CaptureLabModel> model, Theme::Metrics metrics,
                        QWidget* parent = nullptr);
    ~CaptureLabTargetRow() override;

    const CaptureTarget& target() const { return target_; }
    // A new name for the same application.
    void setTarget(CaptureTarget target);
    void setIcon(std::optional<QImage> icon);

    // Follows the model's capture of the target: the switch, the record button and the details.
    void refresh();

    ToggleSwitch& toggleSwitch() const { return *switch_; }
    QPushButton& recordButton() const { return *record_; }
    // Shown while the target is captured.
    CaptureLabDetail& detail() const { return *detail_; }
    QLabel& nameLabel() const { return *name_; }
    // Whether the icon shown is the application's picture rather than a symbol, and where it is.
    bool showsPicture() const;
    QRect iconGeometry() const;

private:
    void build();
    void follow(std::shared_ptr<CaptureLabModel::ActiveCapture> capture);
    void showCapture();
    void showRecording(bool recording);
    void flip();

    std::shared_ptr<CaptureLabModel> model_;
    CaptureTarget target_;
    Theme::Metrics metrics_;
    std::shared_ptr<CaptureLabModel::ActiveCapture> capture_;
    QMetaObject::Connection captureConnection_;
    std::optional<bool> shownRecording_;

    QLabel* picture_ = nullptr;
    GlyphView* symbol_ = nullptr;
    QLabel* name_ = nullptr;
    QPushButton* record_ = nullptr;
    ToggleSwitch* switch_ = nullptr;
    CaptureLabDetail* detail_ = nullptr;
};
