// The settings window's general pane: the capture method, the buffer preset, the mixer's display size
// and the three automatic-adding switches. Every change goes straight into the controller's
// configuration (or, for the display size, into "TDUIScale"); the pane follows outside changes in place.
// GUI thread only.
#pragma once

#include <memory>
#include <string_view>
#include <vector>

#include <QWidget>

#include "Platform/System/SystemInfo.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QVBoxLayout;
class RoutingController;
class UserDefaults;

class GeneralSettings : public QWidget {
    Q_OBJECT

public:
    GeneralSettings(std::shared_ptr<RoutingController> controller, UserDefaults& defaults,
                    OperatingSystemVersion system = SystemInfo::version());

    QComboBox& captureModePicker() const { return *captureMode_; }
    QComboBox& latencyPicker() const { return *latency_; }
    QComboBox& uiScalePicker() const { return *uiScale_; }
    QCheckBox& autoAddsRunningAppsSwitch() const { return *runningApps_; }
    QCheckBox& autoAddsAppsSwitch() const { return *apps_; }
    QCheckBox& autoAddsMonitorsSwitch() const { return *monitors_; }

private:
    void buildCaptureSection(QVBoxLayout& layout);
    void buildDisplaySection(QVBoxLayout& layout);
    void buildAutoAddSection(QVBoxLayout& layout);
    QLabel* rowLabel(std::string_view title);
    void alignRowLabels();
    void connectControls();
    // Shows the controller's configuration and the stored display size without writing anything back.
    void refresh();

    std::shared_ptr<RoutingController> controller_;
    UserDefaults& defaults_;
    OperatingSystemVersion system_;
    QComboBox* captureMode_ = nullptr;
    QComboBox* latency_ = nullptr;
    QComboBox* uiScale_ = nullptr;
    QCheckBox* runningApps_ = nullptr;
    QCheckBox* apps_ = nullptr;
    QCheckBox* monitors_ = nullptr;
    std::vector<QLabel*> rowLabels_;
};
