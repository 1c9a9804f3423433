// One crossing of a matrix row and a destination column: a painted grid of route buttons (one per
// source and destination channel), lit where the connection routes, with the connection's gain as a
// badge. A click on a button toggles that route; the context menu connects, picks the mapping or the
// mono source, mutes, opens the connection's details or disconnects. A line row under a line column is
// drawn faded and offers nothing. What it shows comes from MatrixCellModel at each refresh. GUI thread
// only.
#pragma once

#include <QPointer>
#include <QWidget>

#include "TandrelApp/Mixer/MatrixCellModel.h"
#include "TandrelApp/Support/Theme.h"

class ConnectionDetail;
class Popover;
class QMenu;

class MatrixCell : public QWidget {
    Q_OBJECT

public:
    MatrixCell(RoutingController& controller, Theme::Metrics metrics, QWidget* parent = nullptr);

    // Shows the crossing of the row `endpoint` with one column of `device`, reading the connection
    // and the row's channel count from the controller.
    void display(const Endpoint& endpoint, const AudioDeviceInfo& device, std::int64_t pair,
                 std::int64_t width, bool isEnabled);

    const MatrixCellModel::Cell& cell() const { return cell_; }
    const std::vector<std::vector<MatrixCellModel::RouteButton>>& buttons() const { return buttons_; }
    // A button's rectangle in the cell, and the button under a point (null for none).
    QRectF buttonRect(int source, int destination) const;
    const MatrixCellModel::RouteButton* buttonAt(QPointF point) const;
    // The tooltip at a point: the button's there, else the cell's.
    QString toolTipAt(QPointF point) const;
    std::optional<std::string> badge() const { return badge_; }

    // The context menu, built anew from the current state; the caller owns it. Empty for a disabled
    // cell.
    QMenu* buildMenu(QWidget* parent = nullptr);
    // Opens the connection's detail popover (the menu's "詳細設定…").
    void showDetail();
    // The detail popover while it is open.
    Popover* detailPopover() const;
    ConnectionDetail* detail() const;

    QSize sizeHint() const override;

protected:
    bool event(QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;

private:
    void refreshDetail();
    void edit(const std::optional<RoutingConfig>& next);

    RoutingController& controller_;
    Theme::Metrics metrics_;
    MatrixCellModel::Cell cell_;
    std::vector<std::vector<MatrixCellModel::RouteButton>> buttons_;
    std::optional<std::string> badge_;
    // The bit of the button pressed and not yet released, or 0.
    int pressedBit_ = 0;
    QPointer<Popover> detailPopover_;
};
