// The update notice: in the mixer window a banner offering an available release ("このバージョンを
// スキップ", "今すぐアップデート") or the installer's progress row with "キャンセル" while downloading; in
// the menu-bar panel a compact button or a compact progress row. Hidden, taking no space, when there is
// nothing to offer or report. It follows the checker and the installer it is given. GUI thread only.
#pragma once

#include <QWidget>

#include "TandrelApp/Support/Theme.h"
#include "TandrelApp/Updater/UpdateNoticeModel.h"

class GlyphView;
class QLabel;
class QProgressBar;
class QPushButton;
class QToolButton;
class Spinner;
class UpdateChecker;
class UpdateInstaller;

class UpdateNotice : public QWidget {
    Q_OBJECT

public:
    UpdateNotice(UpdateChecker& checker, UpdateInstaller& installer, bool compact, Theme::Metrics metrics,
                 QWidget* parent = nullptr);

    const UpdateNoticeModel::Content& content() const { return content_; }

    // The parts, for tests: each is visible only in its own kind of notice.
    QWidget* banner() const { return banner_; }
    QWidget* progressRow() const { return progressRow_; }
    QToolButton* compactButton() const { return compactButton_; }
    QPushButton* skipButton() const { return skip_; }
    QPushButton* updateButton() const { return update_; }
    QPushButton* cancelButton() const { return cancel_; }
    QProgressBar* progressBar() const { return bar_; }
    QLabel* progressLabel() const { return progressText_; }
    QLabel* titleLabel() const { return title_; }
    QLabel* subtitleLabel() const { return subtitle_; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void buildBanner();
    void buildCompactButton();
    void buildProgressRow();
    void refresh();
    void installAvailable();

    UpdateChecker& checker_;
    UpdateInstaller& installer_;
    bool compact_;
    Theme::Metrics metrics_;
    UpdateNoticeModel::Content content_;

    QWidget* banner_ = nullptr;
    QLabel* title_ = nullptr;
    QLabel* subtitle_ = nullptr;
    QPushButton* skip_ = nullptr;
    QPushButton* update_ = nullptr;
    QToolButton* compactButton_ = nullptr;
    QWidget* progressRow_ = nullptr;
    QProgressBar* bar_ = nullptr;
    Spinner* spinner_ = nullptr;
    QLabel* progressText_ = nullptr;
    QPushButton* cancel_ = nullptr;
};
