#include "TandrelApp/Diagnostics/CaptureLabView.h"

#include <algorithm>

#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QPointer>
#include <QScrollArea>
#include <QTimer>
#include <QVBoxLayout>

#include "Platform/System/Desktop/Alerts.h"
#include "TandrelApp/Diagnostics/CaptureLabStyle.h"
#include "TandrelApp/Diagnostics/CaptureLabTargetRow.h"
#include "TandrelApp/Diagnostics/CaptureLabViewModel.h"
#include "TandrelApp/Diagnostics/SegmentedPicker.h"
#include "TandrelApp/Engine/CaptureModel.h"
#include "TandrelApp/Mixer/MixerStyle.h"
#include "TandrelApp/Support/SpawnOnMain.h"

namespace {

namespace ViewModel = CaptureLabViewModel;

// In points.
constexpr double kMinimumWidth = 580;
constexpr double kMinimumHeight = 480;
constexpr double kHeaderMargin = 12;
constexpr double kTitleSpacing = 2;
constexpr double kNoteMarginX = 12;
constexpr double kNoteMarginY = 8;
constexpr double kListMarginX = 16;
constexpr double kListMarginY = 6;
constexpr double kSectionGap = 10;

// The same choices as the settings window's capture method, with the same labels.
std::vector<CaptureMode> modeSegments(OperatingSystemVersion system) {
    return offeredCaptureModes(system);
}

} // namespace

CaptureLabView::CaptureLabView(std::shared_ptr<CaptureLabModel> model, Theme::Metrics metrics,
                               OperatingSystemVersion system, QWidget* parent)
    : QWidget(parent)
    , model_(model ? std::move(model) : std::make_shared<CaptureLabModel>())
    , metrics_(metrics)
    , system_(system) {
    setMinimumSize(metrics_.size(kMinimumWidth, kMinimumHeight));
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(buildHeader());
    layout->addWidget(MixerStyle::divider());
    layout->addWidget(buildList(), 1);
    layout->addWidget(MixerStyle::divider());
    layout->addWidget(buildNote());

    connect(model_.get(), &CaptureLabModel::modeChanged, this, &CaptureLabView::showMode);
    connect(model_.get(), &CaptureLabModel::appsChanged, this, &CaptureLabView::showApplications);
    connect(model_.get(), &CaptureLabModel::messageChanged, this, &CaptureLabView::messageChanged);
    connect(picker_, &SegmentedPicker::activated, this, [this](int index) {
        const auto segments = modeSegments(system_);
        if (index >= 0 && index < static_cast<int>(segments.size())) {
            model_->setMode(segments[static_cast<std::size_t>(index)]);
        }
        showMode();
    });

    // Observers run on the main queue and never after their removal there, so `this` stays valid.
    Workspace& workspace = Workspace::shared();
    for (auto event : {Workspace::Event::didLaunchApplication, Workspace::Event::didTerminateApplication}) {
        workspaceObservers_.push_back(
            workspace.addObserver(event, [this](const RunningApplication&) { refreshApplications(); }));
    }
    showMode();
    showApplications();
    messageChanged();
}

CaptureLabView::~CaptureLabView() {
    for (auto token : workspaceObservers_) {
        Workspace::shared().removeObserver(token);
    }
}

QWidget* CaptureLabView::buildHeader() {
    auto* header = new QWidget(this);
    auto* row = new QHBoxLayout(header);
    const int margin = metrics_.px(kHeaderMargin);
    row->setContentsMargins(margin, margin, margin, margin);

    auto* titles = new QVBoxLayout;
    titles->setSpacing(metrics_.px(kTitleSpacing));
    auto* title = new QLabel(CaptureLabStyle::text(ViewModel::title), header);
    title->setFont(metrics_.font(TextStyle::body, {.weight = Theme::Weight::semibold}));
    auto* subtitle = new QLabel(CaptureLabStyle::text(ViewModel::subtitle), header);
    subtitle->setFont(metrics_.font(TextStyle::caption));
    MixerStyle::setTextColor(*subtitle, ColorRole::secondary);
    titles->addWidget(title);
    titles->addWidget(subtitle);
    row->addLayout(titles);
    row->addStretch(1);

    auto* label = new QLabel(CaptureLabStyle::text(ViewModel::modeLabel), header);
    label->setFont(metrics_.controlFont(ControlSize::regular));
    QStringList segments;
    for (CaptureMode mode : modeSegments(system_)) {
        segments << CaptureLabStyle::text(::label(mode));
    }
    picker_ = new SegmentedPicker(segments, metrics_, header);
    label->setBuddy(picker_);
    row->addWidget(label, 0, Qt::AlignVCenter);
    row->addSpacing(metrics_.px(6));
    row->addWidget(picker_, 0, Qt::AlignVCenter);
    return header;
}

QWidget* CaptureLabView::buildList() {
    list_ = new QScrollArea(this);
    list_->setFrameShape(QFrame::NoFrame);
    list_->setWidgetResizable(true);
    list_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);

    auto* content = new QWidget;
    content->setAutoFillBackground(true);
    QPalette colors = content->palette();
    colors.setColor(QPalette::Window, Theme::textBackground(colors));
    content->setPalette(colors);
    auto* rows = new QVBoxLayout(content);
    rows->setContentsMargins(metrics_.px(kListMarginX), metrics_.px(kListMarginY), metrics_.px(kListMarginX),
                             metrics_.px(kListMarginY));
    rows->setSpacing(0);

    auto section = [this, content](std::string_view title, double gap) {
        auto* label = new QLabel(CaptureLabStyle::text(title), content);
        label->setFont(metrics_.font(TextStyle::caption, {.weight = Theme::Weight::semibold}));
        MixerStyle::setTextColor(*label, ColorRole::secondary);
        label->setContentsMargins(0, metrics_.px(gap), 0, metrics_.px(2));
        return label;
    };
    rows->addWidget(section(ViewModel::systemSection, 0));
    systemRow_ = new CaptureLabTargetRow(model_, metrics_, content);
    rows->addWidget(systemRow_);
    rows->addWidget(section(ViewModel::applicationsSection, kSectionGap));
    appRows_.emplace(rows, rows->count());
    rows->addStretch(1);

    list_->setWidget(content);
    return list_;
}

QWidget* CaptureLabView::buildNote() {
    note_ = new QLabel(this);
    note_->setFont(metrics_.font(TextStyle::caption));
    note_->setWordWrap(true);
    MixerStyle::setTextColor(*note_, ColorRole::secondary);
    note_->setContentsMargins(metrics_.px(kNoteMarginX), metrics_.px(kNoteMarginY), metrics_.px(kNoteMarginX),
                              metrics_.px(kNoteMarginY));
    return note_;
}

void CaptureLabView::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    refreshApplications();
}

void CaptureLabView::closeEvent(QCloseEvent* event) {
    QWidget::closeEvent(event);
    std::weak_ptr<CaptureLabModel> weak = model_;
    spawnOnMain([weak] { return CaptureLabModel::stopCaptures(weak); });
}

void CaptureLabView::refreshApplications() {
    model_->setApps(CaptureTargetProvider::runningApplications());
}

void CaptureLabView::showMode() {
    const auto segments = modeSegments(system_);
    const auto found = std::find(segments.begin(), segments.end(), model_->mode());
    picker_->setCurrentIndex(found == segments.end() ? -1 : static_cast<int>(found - segments.begin()));
    note_->setText(CaptureLabStyle::text(ViewModel::modeNote(model_->mode())));
}

void CaptureLabView::showApplications() {
    std::vector<std::string> keys;
    for (const auto& app : model_->apps()) {
        keys.push_back(app.bundleID);
    }
    const auto appNamed = [this](const std::string& bundleID) {
        for (const auto& app : model_->apps()) {
            if (app.bundleID == bundleID) {
                return app;
            }
        }
        return CaptureTargetProvider::AppInfo{bundleID, bundleID};
    };
    QWidget* content = list_->widget();
    appRows_->sync(
        keys,
        [&](const std::string& bundleID) {
            const auto app = appNamed(bundleID);
            return new CaptureLabTargetRow(model_, CaptureTarget::application(app.bundleID, app.name),
                                           app.icon(), metrics_, content);
        },
        [&](CaptureLabTargetRow& row, const std::string& bundleID) {
            const auto app = appNamed(bundleID);
            row.setTarget(CaptureTarget::application(app.bundleID, app.name));
        });
}

// Messages are shown one alert at a time, from the event loop, never from inside the change that set
// them.
void CaptureLabView::messageChanged() {
    if (!model_->message() || alerting_) {
        return;
    }
    alerting_ = true;
    QTimer::singleShot(0, this, &CaptureLabView::showMessages);
}

void CaptureLabView::showMessages() {
    QPointer<CaptureLabView> alive(this);
    const std::shared_ptr<CaptureLabModel> model = model_;
    while (auto message = model->message()) {
        Alerts::shared().run({.style = AlertSpec::Style::informational,
                              .message = std::string(ViewModel::alertTitle),
                              .informativeText = *message,
                              .buttons = {{.title = std::string(ViewModel::alertButton)}},
                              .checkbox = std::nullopt});
        // A newer failure that came while the alert was up is shown next, not dismissed unseen.
        if (model->message() == message) {
            model->setMessage(std::nullopt);
        }
    }
    if (alive) {
        alerting_ = false;
    }
}
