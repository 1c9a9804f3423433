#include "TandrelApp/Mixer/RowView.h"

#include <QHBoxLayout>

#include "TandrelApp/Mixer/MatrixCell.h"
#include "TandrelApp/Mixer/MatrixCellModel.h"
#include "TandrelApp/Mixer/MatrixMetrics.h"
#include "TandrelApp/Mixer/MixerStyle.h"

// The cells of one destination group, in its width and the row's height, with the gap after it.
class RowView::Group : public QWidget {
public:
    Group(RoutingController& controller, Theme::Metrics metrics)
        : controller_(controller)
        , metrics_(metrics)
        , layout_(new QHBoxLayout(this))
        , cells_(layout_) {
        layout_->setContentsMargins(0, 0, metrics.px(MatrixMetrics::groupGap), 0);
        layout_->setSpacing(0);
        layout_->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    }

    void display(const MatrixRow& row, const ColumnGroup& group) {
        setFixedSize(MixerStyle::groupPixels(metrics_, group.columns.size()) +
                         metrics_.px(MatrixMetrics::groupGap),
                     metrics_.px(row.height()));
        const bool enabled = MatrixCellModel::isEnabled(row.lineDevice() != nullptr, group.isLine);
        const Endpoint endpoint = row.endpoint();
        cells_.sync(
            group.columns, [this](const MatrixColumn&) { return new MatrixCell(controller_, metrics_); },
            [&](MatrixCell& cell, const MatrixColumn& column) {
                cell.display(endpoint, group.device, column.channel, column.width, enabled);
            });
    }

    MatrixCell* cell(MatrixColumn column) const { return cells_.find(column); }

private:
    RoutingController& controller_;
    Theme::Metrics metrics_;
    QHBoxLayout* layout_;
    KeyedChildren<MatrixColumn, MatrixCell> cells_;
};

RowView::RowView(RoutingController& controller, Theme::Metrics metrics, QWidget* parent)
    : QWidget(parent)
    , controller_(controller)
    , metrics_(metrics) {
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->setAlignment(Qt::AlignLeft);
    groups_ = std::make_unique<KeyedChildren<std::string, Group>>(layout);
}

RowView::~RowView() = default;

void RowView::display(const MatrixRow& row, const std::vector<ColumnGroup>& groups) {
    std::vector<std::string> keys;
    for (const auto& group : groups) {
        keys.push_back(group.id());
    }
    groups_->sync(
        keys, [this](const std::string&) { return new Group(controller_, metrics_); },
        [&](Group& widget, const std::string& uid) {
            widget.display(row, *std::ranges::find(groups, uid, &ColumnGroup::id));
        });
    setFixedHeight(metrics_.px(row.height()));
}

MatrixCell* RowView::cell(const std::string& deviceUID, MatrixColumn column) const {
    Group* group = groups_->find(deviceUID);
    return group != nullptr ? group->cell(column) : nullptr;
}
