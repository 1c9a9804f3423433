// The capture lab window's content ("capture-lab"): the choice of capture method, the whole system and
// every running application as targets with their switches, level bars, statistics and record buttons,
// a note on what the chosen method needs, and the model's failures in an alert. It owns its model,
// fills the model's application list when shown and whenever an application launches or quits. The
// shell's window registry makes it when the Window menu first opens it.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <QWidget>

#include "Platform/System/SystemInfo.h"
#include "Platform/Workspace/Workspace.h"
#include "TandrelApp/Diagnostics/CaptureLabModel.h"
#include "TandrelApp/Diagnostics/CaptureLabTargetRow.h"
#include "TandrelApp/Support/KeyedChildren.h"
#include "TandrelApp/Support/Theme.h"

class QLabel;
class QScrollArea;
class SegmentedPicker;

class CaptureLabView : public QWidget {
    Q_OBJECT

public:
    // A null model gets a model of its own with the real sources, music folder and file manager.
    explicit CaptureLabView(std::shared_ptr<CaptureLabModel> model = nullptr,
                            Theme::Metrics metrics = Theme::Metrics(),
                            OperatingSystemVersion system = SystemInfo::version(), QWidget* parent = nullptr);
    ~CaptureLabView() override;

    CaptureLabModel& model() const { return *model_; }

    SegmentedPicker& modePicker() const { return *picker_; }
    CaptureLabTargetRow& systemRow() const { return *systemRow_; }
    // The applications' rows in the model's order.
    std::vector<CaptureLabTargetRow*> applicationRows() const { return appRows_->widgets(); }
    QLabel& modeNote() const { return *note_; }
    QScrollArea& list() const { return *list_; }

    // Gives the model the applications running now.
    void refreshApplications();

protected:
    void showEvent(QShowEvent* event) override;
    // Closing the window ends its captures and recordings: nothing keeps capturing out of sight.
    void closeEvent(QCloseEvent* event) override;

private:
    QWidget* buildHeader();
    QWidget* buildList();
    QWidget* buildNote();
    void showMode();
    void showApplications();
    void messageChanged();
    void showMessages();

    const std::shared_ptr<CaptureLabModel> model_;
    const Theme::Metrics metrics_;
    const OperatingSystemVersion system_;
    SegmentedPicker* picker_ = nullptr;
    CaptureLabTargetRow* systemRow_ = nullptr;
    std::optional<KeyedChildren<std::string, CaptureLabTargetRow>> appRows_;
    QScrollArea* list_ = nullptr;
    QLabel* note_ = nullptr;
    std::vector<Workspace::ObserverToken> workspaceObservers_;
    // An alert is shown or about to be: later messages wait for it.
    bool alerting_ = false;
};
