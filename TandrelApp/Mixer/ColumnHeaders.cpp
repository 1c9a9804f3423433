#include "TandrelApp/Mixer/ColumnHeaders.h"

#include <QHBoxLayout>
#include <QVBoxLayout>

#include "TandrelApp/Mixer/GroupTitle.h"
#include "TandrelApp/Mixer/MatrixMetrics.h"
#include "TandrelApp/Mixer/MixerStyle.h"
#include "TandrelApp/Mixer/PairHeader.h"

// One group: its title over its column headers, in the group's width plus the gap after it.
class ColumnHeaders::Group : public QWidget {
public:
    Group(RoutingController& controller, MeterStore& meters, Theme::Metrics metrics)
        : controller_(controller)
        , meters_(meters)
        , metrics_(metrics)
        , title_(new GroupTitle(controller, metrics))
        , headerLayout_(new QHBoxLayout)
        , headers_(headerLayout_) {
        auto* layout = new QVBoxLayout(this);
        layout->setContentsMargins(0, 0, metrics.px(MatrixMetrics::groupGap), 0);
        layout->setSpacing(metrics.px(4));
        layout->addWidget(title_, 0, Qt::AlignLeft);
        headerLayout_->setSpacing(0);
        headerLayout_->setContentsMargins(0, 0, 0, 0);
        headerLayout_->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
        layout->addLayout(headerLayout_);
    }

    void display(const ColumnGroup& group) {
        setFixedWidth(MixerStyle::groupPixels(metrics_, group.columns.size()) +
                      metrics_.px(MatrixMetrics::groupGap));
        title_->display(group);
        headers_.sync(
            group.columns,
            [this](const MatrixColumn&) { return new PairHeader(controller_, meters_, metrics_); },
            [&group](PairHeader& header, const MatrixColumn& column) {
                header.display(group.device, column);
            });
    }

    GroupTitle* title() const { return title_; }
    PairHeader* header(MatrixColumn column) const { return headers_.find(column); }

private:
    RoutingController& controller_;
    MeterStore& meters_;
    Theme::Metrics metrics_;
    GroupTitle* title_;
    QHBoxLayout* headerLayout_;
    KeyedChildren<MatrixColumn, PairHeader> headers_;
};

ColumnHeaders::ColumnHeaders(RoutingController& controller, MeterStore& meters, Theme::Metrics metrics,
                             QWidget* parent)
    : QWidget(parent)
    , controller_(controller)
    , meters_(meters)
    , metrics_(metrics)
    , layout_(new QHBoxLayout(this))
    , groups_(std::make_unique<KeyedChildren<std::string, Group>>(layout_)) {
    layout_->setContentsMargins(0, 0, 0, 0);
    layout_->setSpacing(0);
    layout_->setAlignment(Qt::AlignLeft | Qt::AlignBottom);
}

ColumnHeaders::~ColumnHeaders() = default;

void ColumnHeaders::display(const std::vector<ColumnGroup>& groups) {
    std::vector<std::string> keys;
    for (const auto& group : groups) {
        keys.push_back(group.id());
    }
    groups_->sync(
        keys, [this](const std::string&) { return new Group(controller_, meters_, metrics_); },
        [&groups](Group& widget, const std::string& uid) {
            widget.display(*std::ranges::find(groups, uid, &ColumnGroup::id));
        });
    for (Group* group : groups_->widgets()) {
        layout_->setAlignment(group, Qt::AlignBottom);
    }
}

GroupTitle* ColumnHeaders::title(const std::string& deviceUID) const {
    Group* group = groups_->find(deviceUID);
    return group != nullptr ? group->title() : nullptr;
}

PairHeader* ColumnHeaders::header(const std::string& deviceUID, MatrixColumn column) const {
    Group* group = groups_->find(deviceUID);
    return group != nullptr ? group->header(column) : nullptr;
}
