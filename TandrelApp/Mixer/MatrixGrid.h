// The routing matrix laid out in the four quadrants of a frozen-header scroll view: a blank corner, the
// column headers, the row headers and the cells, the last three at the display scale (TDUIScale).
// Row headers and cells list the same items at the same heights and the headers use the cells' group
// widths, so everything stays aligned while the cells scroll. It follows the controller's changes in
// place, coalescing a burst of them into one refresh; a new scale rebuilds the scaled quadrants and
// keeps the scroll position. Meter levels bypass it (MeterStore writes the meters). GUI thread only.
#pragma once

#include <memory>

#include <QWidget>

#include "TandrelApp/Mixer/MatrixModel.h"
#include "TandrelApp/Support/Theme.h"

class ColumnHeaders;
class FrozenHeaderScrollView;
class GroupTitle;
class MatrixCell;
class MeterStore;
class PairHeader;
class RowHeader;
class RowView;
class RoutingController;
class SectionLabel;
class UserDefaults;

class MatrixGrid : public QWidget {
    Q_OBJECT

public:
    MatrixGrid(RoutingController& controller, MeterStore& meters, UserDefaults& defaults,
               QWidget* parent = nullptr);
    ~MatrixGrid() override;

    // Brings every quadrant up to the controller's state now (changes otherwise refresh after the
    // current event).
    void refresh();

    double scale() const { return metrics_.scale(); }
    FrozenHeaderScrollView* scrollView() const { return scroll_; }
    const std::vector<ColumnGroup>& groups() const { return groups_; }
    const std::vector<GridItem>& items() const { return items_; }

    GroupTitle* groupTitle(const std::string& deviceUID) const;
    PairHeader* pairHeader(const std::string& deviceUID, MatrixColumn column) const;
    RowHeader* rowHeader(const std::string& rowID) const;
    RowView* rowView(const std::string& rowID) const;
    MatrixCell* cell(const std::string& rowID, const std::string& deviceUID, MatrixColumn column) const;
    // The section labels of the row headers and of the cells, by item id ("section:音源").
    SectionLabel* leftSection(const std::string& itemID) const;
    SectionLabel* contentSection(const std::string& itemID) const;
    // The empty hint of the row headers and its spacer among the cells, while there is no source.
    QWidget* emptyHint() const;
    QWidget* emptySpacer() const;

private:
    class ItemQuadrant;
    class LeftQuadrant;
    class ContentQuadrant;

    void scheduleRefresh();
    // Makes the three scaled quadrants anew at the current scale.
    void buildQuadrants();
    void scaleChanged();

    RoutingController& controller_;
    MeterStore& meters_;
    UserDefaults& defaults_;
    Theme::Metrics metrics_;
    FrozenHeaderScrollView* scroll_;
    ColumnHeaders* columnHeaders_ = nullptr;
    LeftQuadrant* left_ = nullptr;
    ContentQuadrant* content_ = nullptr;
    std::vector<ColumnGroup> groups_;
    std::vector<GridItem> items_;
    bool refreshPending_ = false;
};
