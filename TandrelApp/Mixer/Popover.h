// A small panel that opens next to the view it belongs to and closes on a click outside it, like the
// desktop's popovers: the detail editors of matrix cells and column headers and the per-channel volumes
// of a source row. The panel is a child of its anchor, so it goes with it; closing it, by a click
// outside or by Escape, is reported so the anchor can forget that it was open. GUI thread only.
#pragma once

#include <QFrame>
#include <QPointer>

class Popover : public QFrame {
    Q_OBJECT

public:
    // Where the panel stands: below the anchor, or beside its trailing edge.
    enum class Edge { bottom, trailing };

    Popover(QWidget* anchor, Edge edge);

    // Takes ownership of the panel's content, replacing any earlier one.
    void setContent(QWidget* content);
    QWidget* content() const { return content_; }

    // Places the panel at its anchor and shows it (again) in its content's size.
    void present();

signals:
    // The panel closed (a click outside, Escape, or close()).
    void closed();

protected:
    void paintEvent(QPaintEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    QPoint placement() const;

    QPointer<QWidget> anchor_;
    Edge edge_;
    QPointer<QWidget> content_;
};
