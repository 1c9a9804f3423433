// The settings window's "情報" tab: the program's version and bundle identifier with the update status
// and "確認", the installed driver (read again each time the tab is shown), the system, the processor and
// the settings folder, two links and the copyright. It only reads. Values come from outside (the
// driver's bundle, the program's information, the feed): each is shown as plain text on one line,
// shortened in its middle with the whole of it on hover, so the pane keeps its width and its buttons
// whole. It keeps the desktop's sizes whatever the mixer's display size is. GUI thread only.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include <QWidget>

#include "TandrelApp/Shell/DriverInfo.h"
#include "TandrelApp/Support/Theme.h"

class ElidedLabel;
class QFormLayout;
class QLabel;
class QPushButton;
class QVBoxLayout;
class UpdateChecker;

class AboutSettings : public QWidget {
    Q_OBJECT

public:
    // The facts the pane shows that come from outside; standard() reads the program's own.
    struct Facts {
        std::string shortVersion;
        std::int64_t build = 0;
        std::optional<std::string> bundleIdentifier;
        std::optional<std::string> copyright;
        std::string systemName;
        std::string chip;
        std::string settingsFolder;
        std::string driverPath;
        std::function<std::optional<DriverInfo>()> readDriver;

        static Facts standard();
    };

    static constexpr double height = 560;

    AboutSettings(UpdateChecker& checker, Facts facts, QWidget* parent = nullptr);

    ElidedLabel* updateStatusLabel() const { return status_; }
    QPushButton* checkButton() const { return check_; }
    // The driver section's value texts, in order.
    QStringList driverTexts() const;
    // Every row's value text in the form, by row label.
    QString value(const QString& label) const;

protected:
    void showEvent(QShowEvent* event) override;

private:
    QWidget* header();
    QFormLayout* section(QVBoxLayout& layout, const char* title);
    ElidedLabel* addRow(QFormLayout& form, const std::string& label, const std::string& value);
    void buildDriverSection();
    void refreshUpdateRow();

    UpdateChecker& checker_;
    Facts facts_;
    const Theme::Metrics metrics_{1.0};
    ElidedLabel* status_ = nullptr;
    QPushButton* check_ = nullptr;
    QFormLayout* driverForm_ = nullptr;
    std::optional<DriverInfo> driver_;
};
