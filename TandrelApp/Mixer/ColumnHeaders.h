// The strip of column headers above the matrix: per destination group its title over one header per
// column, each group as wide as its cells below and followed by the same gap, aligned at the bottom.
// Groups and columns are kept by identity across refreshes, so a fader being dragged or a popover
// that is open stays. GUI thread only.
#pragma once

#include <memory>

#include <QWidget>

#include "TandrelApp/Mixer/MatrixModel.h"
#include "TandrelApp/Support/KeyedChildren.h"
#include "TandrelApp/Support/Theme.h"

class GroupTitle;
class MeterStore;
class PairHeader;
class QHBoxLayout;
class RoutingController;

class ColumnHeaders : public QWidget {
    Q_OBJECT

public:
    ColumnHeaders(RoutingController& controller, MeterStore& meters, Theme::Metrics metrics,
                  QWidget* parent = nullptr);
    ~ColumnHeaders() override;

    void display(const std::vector<ColumnGroup>& groups);

    GroupTitle* title(const std::string& deviceUID) const;
    PairHeader* header(const std::string& deviceUID, MatrixColumn column) const;

private:
    class Group;

    RoutingController& controller_;
    MeterStore& meters_;
    Theme::Metrics metrics_;
    QHBoxLayout* layout_;
    std::unique_ptr<KeyedChildren<std::string, Group>> groups_;
};
