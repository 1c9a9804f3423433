// The strip of matrix cells of one row, right of its frozen header: one cell per column of every
// destination group, each group as wide as its title above (and followed by the same gap), so the
// cells stay under their column headers. Groups and cells are kept by identity across refreshes.
// GUI thread only.
#pragma once

#include <memory>

#include <QWidget>

#include "TandrelApp/Mixer/MatrixModel.h"
#include "TandrelApp/Support/KeyedChildren.h"
#include "TandrelApp/Support/Theme.h"

class MatrixCell;
class RoutingController;

class RowView : public QWidget {
    Q_OBJECT

public:
    RowView(RoutingController& controller, Theme::Metrics metrics, QWidget* parent = nullptr);
    ~RowView() override;

    void display(const MatrixRow& row, const std::vector<ColumnGroup>& groups);

    // The cell under a column of a device, or null.
    MatrixCell* cell(const std::string& deviceUID, MatrixColumn column) const;

private:
    class Group;

    RoutingController& controller_;
    Theme::Metrics metrics_;
    std::unique_ptr<KeyedChildren<std::string, Group>> groups_;
};
