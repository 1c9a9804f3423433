#include "TandrelApp/Mixer/MatrixGrid.h"

#include <functional>
#include <map>

#include <QLabel>
#include <QPainter>
#include <QScrollArea>
#include <QScrollBar>
#include <QVBoxLayout>

#include "TandrelApp/Mixer/ColumnHeaders.h"
#include "TandrelApp/Mixer/FrozenHeaderScrollView.h"
#include "TandrelApp/Mixer/MatrixMetrics.h"
#include "TandrelApp/Mixer/MixerStyle.h"
#include "TandrelApp/Mixer/RowHeader.h"
#include "TandrelApp/Mixer/RowView.h"
#include "TandrelApp/Mixer/SectionLabel.h"
#include "TandrelApp/Routing/RoutingController.h"
#include "TandrelApp/Support/KeyedChildren.h"
#include "TandrelApp/Support/UserDefaults.h"

namespace {

const QString kScaleKey = QStringLiteral("TDUIScale");
constexpr const char* kEmptyHint =
    "ツールバーの「音源を追加」から、アプリ・システム音声・マイクを追加してください。";

double storedScale(const UserDefaults& defaults) {
    return defaults.doubleValue(kScaleKey).value_or(1.0);
}

// The items by id, for the keyed lists of the two row quadrants.
std::map<std::string, const GridItem*> byID(const std::vector<GridItem>& items) {
    std::map<std::string, const GridItem*> out;
    for (const auto& item : items) {
        out.emplace(item.id(), &item);
    }
    return out;
}

std::vector<std::string> ids(const std::vector<GridItem>& items) {
    std::vector<std::string> out;
    for (const auto& item : items) {
        out.push_back(item.id());
    }
    return out;
}

// The blank corner where the header strip and the header column meet, with the strip's divider while
// the strip has headers to divide from the rows.
class Corner : public QWidget {
public:
    void setDividerShown(bool shown) {
        if (shown != dividerShown_) {
            dividerShown_ = shown;
            update();
        }
    }

protected:
    void paintEvent(QPaintEvent*) override {
        if (!dividerShown_) {
            return;
        }
        QPainter painter(this);
        painter.fillRect(QRect(0, height() - 1, width(), 1), MixerStyle::dividerColor(palette()));
    }

private:
    bool dividerShown_ = false;
};

constexpr const char* kStripDivider = "stripDivider";

// The column headers with the margins around them and the divider under them.
QWidget* topQuadrant(ColumnHeaders* headers, const Theme::Metrics& metrics) {
    auto* quadrant = new QWidget;
    auto* layout = new QVBoxLayout(quadrant);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    auto* padded = new QVBoxLayout;
    padded->setContentsMargins(0, metrics.px(MatrixMetrics::outerMargin),
                               metrics.px(MatrixMetrics::outerMargin), metrics.px(MatrixMetrics::headerGap));
    padded->addWidget(headers, 0, Qt::AlignLeft);
    layout->addLayout(padded);
    QFrame* divider = MixerStyle::divider();
    divider->setObjectName(QString::fromLatin1(kStripDivider));
    layout->addWidget(divider);
    return quadrant;
}

QWidget* emptyHintLabel(const Theme::Metrics& metrics) {
    auto* hint = MixerStyle::label(QString::fromUtf8(kEmptyHint), metrics.font(TextStyle::callout),
                                   ColorRole::secondary);
    hint->setWordWrap(true);
    hint->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    hint->setFixedSize(metrics.size(MatrixMetrics::rowHeaderWidth, MatrixMetrics::emptyHintHeight));
    return hint;
}

} // namespace

// One of the two quadrants that list the grid's items top to bottom, each item's widget kept by the
// item's id. The row headers and the cells make and fill the widgets of their own.
class MatrixGrid::ItemQuadrant : public QWidget {
public:
    QWidget* find(const std::string& id) const { return items_.find(id); }

protected:
    ItemQuadrant(Theme::Metrics metrics, bool leading)
        : metrics_(metrics)
        , layout_(new QVBoxLayout(this))
        , items_(layout_) {
        // The outer margin at the leading side of the row headers, at the trailing side of the cells,
        // and under both.
        const int margin = metrics.px(MatrixMetrics::outerMargin);
        layout_->setContentsMargins(leading ? margin : 0, 0, leading ? 0 : margin, margin);
        layout_->setSpacing(0);
        layout_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    }

    void sync(const std::vector<GridItem>& items, const std::function<QWidget*(const GridItem&)>& make,
              const std::function<void(QWidget&, const GridItem&)>& update) {
        const auto found = byID(items);
        items_.sync(
            ids(items), [&](const std::string& id) { return make(*found.at(id)); },
            [&](QWidget& widget, const std::string& id) { update(widget, *found.at(id)); });
    }

    Theme::Metrics metrics_;

private:
    QVBoxLayout* layout_;
    KeyedChildren<std::string, QWidget> items_;
};

// The row headers: a section label, the empty hint or a row header per item.
class MatrixGrid::LeftQuadrant : public ItemQuadrant {
public:
    LeftQuadrant(RoutingController& controller, MeterStore& meters, Theme::Metrics metrics)
        : ItemQuadrant(metrics, true)
        , controller_(controller)
        , meters_(meters) {}

    void display(const std::vector<GridItem>& items) {
        sync(
            items, [this](const GridItem& item) { return make(item); },
            [](QWidget& widget, const GridItem& item) { update(widget, item); });
    }

private:
    QWidget* make(const GridItem& item) {
        if (std::holds_alternative<GridItem::Section>(item.value)) {
            return new SectionLabel(metrics_);
        }
        if (std::holds_alternative<GridItem::Row>(item.value)) {
            return new RowHeader(controller_, meters_, metrics_);
        }
        return emptyHintLabel(metrics_);
    }

    static void update(QWidget& widget, const GridItem& item) {
        if (const auto* section = std::get_if<GridItem::Section>(&item.value)) {
            static_cast<SectionLabel&>(widget).display(QString::fromStdString(section->title),
                                                       MatrixMetrics::rowHeaderWidth);
        } else if (const auto* row = std::get_if<GridItem::Row>(&item.value)) {
            static_cast<RowHeader&>(widget).display(row->row);
        }
    }

    RoutingController& controller_;
    MeterStore& meters_;
};

// The cells: a section label across every group, a spacer for the empty hint, or a row of cells.
class MatrixGrid::ContentQuadrant : public ItemQuadrant {
public:
    ContentQuadrant(RoutingController& controller, Theme::Metrics metrics)
        : ItemQuadrant(metrics, false)
        , controller_(controller) {}

    void display(const std::vector<GridItem>& items, const std::vector<ColumnGroup>& groups) {
        sync(
            items, [this](const GridItem& item) { return make(item); },
            [&groups](QWidget& widget, const GridItem& item) { update(widget, item, groups); });
    }

private:
    QWidget* make(const GridItem& item) {
        if (std::holds_alternative<GridItem::Section>(item.value)) {
            return new SectionLabel(metrics_);
        }
        if (std::holds_alternative<GridItem::Row>(item.value)) {
            return new RowView(controller_, metrics_);
        }
        auto* spacer = new QWidget;
        spacer->setFixedSize(metrics_.size(1, MatrixMetrics::emptyHintHeight));
        return spacer;
    }

    static void update(QWidget& widget, const GridItem& item, const std::vector<ColumnGroup>& groups) {
        if (const auto* section = std::get_if<GridItem::Section>(&item.value)) {
            // The divider runs across every group.
            static_cast<SectionLabel&>(widget).display(QString::fromStdString(section->hint.value_or("")),
                                                       MatrixModel::contentWidth(groups));
        } else if (const auto* row = std::get_if<GridItem::Row>(&item.value)) {
            static_cast<RowView&>(widget).display(row->row, groups);
        }
    }

    RoutingController& controller_;
};

MatrixGrid::MatrixGrid(RoutingController& controller, MeterStore& meters, UserDefaults& defaults,
                       QWidget* parent)
    : QWidget(parent)
    , controller_(controller)
    , meters_(meters)
    , defaults_(defaults)
    , metrics_(storedScale(defaults))
    , scroll_(new FrozenHeaderScrollView) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(scroll_);
    // The corner is not scaled: the container gives it the headers' crossing.
    scroll_->setCorner(new Corner);
    buildQuadrants();

    for (auto signal : {&RoutingController::configChanged, &RoutingController::linesChanged,
                        &RoutingController::outputDevicesChanged, &RoutingController::sourceStatusChanged,
                        &RoutingController::hardwareVolumesChanged}) {
        connect(&controller, signal, this, &MatrixGrid::scheduleRefresh);
    }
    connect(&defaults, &UserDefaults::changed, this, [this](const QString& key) {
        if (key == kScaleKey) {
            scaleChanged();
        }
    });
    refresh();
}

MatrixGrid::~MatrixGrid() = default;

void MatrixGrid::buildQuadrants() {
    columnHeaders_ = new ColumnHeaders(controller_, meters_, metrics_);
    left_ = new LeftQuadrant(controller_, meters_, metrics_);
    content_ = new ContentQuadrant(controller_, metrics_);
    scroll_->setTop(topQuadrant(columnHeaders_, metrics_));
    scroll_->setLeft(left_);
    scroll_->setContent(content_);
}

void MatrixGrid::scaleChanged() {
    const Theme::Metrics next(storedScale(defaults_));
    if (next == metrics_) {
        return;
    }
    metrics_ = next;
    // The new quadrants are empty until they are filled: the position is put back after that.
    QScrollArea* cells = scroll_->contentArea();
    const int x = cells->horizontalScrollBar()->value();
    const int y = cells->verticalScrollBar()->value();
    buildQuadrants();
    refresh();
    scroll_->relayout();
    cells->horizontalScrollBar()->setValue(x);
    cells->verticalScrollBar()->setValue(y);
}

void MatrixGrid::scheduleRefresh() {
    if (refreshPending_) {
        return;
    }
    refreshPending_ = true;
    QMetaObject::invokeMethod(this, &MatrixGrid::refresh, Qt::QueuedConnection);
}

void MatrixGrid::refresh() {
    refreshPending_ = false;
    const MatrixState state = MatrixState::of(controller_);
    groups_ = MatrixModel::groups(state);
    items_ = MatrixModel::items(state);
    columnHeaders_->display(groups_);
    // Without columns the strip is empty, and a divider under it would be a stray stub.
    const bool stripShown = !groups_.empty();
    static_cast<Corner*>(scroll_->corner())->setDividerShown(stripShown);
    if (auto* divider = scroll_->top()->findChild<QFrame*>(QString::fromLatin1(kStripDivider))) {
        divider->setVisible(stripShown);
    }
    left_->display(items_);
    content_->display(items_, groups_);
}

GroupTitle* MatrixGrid::groupTitle(const std::string& deviceUID) const {
    return columnHeaders_->title(deviceUID);
}

PairHeader* MatrixGrid::pairHeader(const std::string& deviceUID, MatrixColumn column) const {
    return columnHeaders_->header(deviceUID, column);
}

RowHeader* MatrixGrid::rowHeader(const std::string& rowID) const {
    return dynamic_cast<RowHeader*>(left_->find(rowID));
}

RowView* MatrixGrid::rowView(const std::string& rowID) const {
    return dynamic_cast<RowView*>(content_->find(rowID));
}

MatrixCell* MatrixGrid::cell(const std::string& rowID, const std::string& deviceUID,
                             MatrixColumn column) const {
    RowView* row = rowView(rowID);
    return row != nullptr ? row->cell(deviceUID, column) : nullptr;
}

SectionLabel* MatrixGrid::leftSection(const std::string& itemID) const {
    return dynamic_cast<SectionLabel*>(left_->find(itemID));
}

SectionLabel* MatrixGrid::contentSection(const std::string& itemID) const {
    return dynamic_cast<SectionLabel*>(content_->find(itemID));
}

QWidget* MatrixGrid::emptyHint() const {
    return left_->find("empty");
}

QWidget* MatrixGrid::emptySpacer() const {
    return content_->find("empty");
}
