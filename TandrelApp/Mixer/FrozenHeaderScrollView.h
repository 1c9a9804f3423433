// The routing matrix's scroll area with frozen headers: four quadrants (corner, column headers, row
// headers, cells) of which only the cells scroll; the column headers follow the cells' horizontal
// offset and the row headers their vertical one, and a wheel over either header scrolls the cells. The
// header strip is as high as the column headers want, the header column as wide as the row headers
// want, and the corner fills their crossing; so a display scale that makes the quadrants larger makes
// the headers larger too. Quadrants are replaced without losing the scroll position. GUI thread only.
#pragma once

#include <QPointer>
#include <QScrollArea>
#include <QWidget>

class QGridLayout;
class QScrollBar;

class FrozenHeaderScrollView : public QWidget {
    Q_OBJECT

public:
    explicit FrozenHeaderScrollView(QWidget* parent = nullptr);
    ~FrozenHeaderScrollView() override;

    // Each takes ownership of the widget and deletes the one it replaces; null leaves the quadrant empty.
    void setCorner(QWidget* widget);
    void setTop(QWidget* widget);
    void setLeft(QWidget* widget);
    void setContent(QWidget* widget);

    QWidget* corner() const { return corner_; }
    QWidget* top() const;
    QWidget* left() const;
    QWidget* content() const;

    // The scroll areas, and the scroll bars that move the cells (shown only when they are needed).
    QScrollArea* topArea() const;
    QScrollArea* leftArea() const;
    QScrollArea* contentArea() const { return contentArea_; }
    QScrollBar* horizontalScrollBar() const { return horizontalBar_; }
    QScrollBar* verticalScrollBar() const { return verticalBar_; }

    // Sizes the headers after the quadrants' size hints now instead of after the current event.
    void relayout();

    // The whole matrix, headers and cells, as the quadrants want it: what a window showing all of it
    // without scrolling would give this view.
    QSize sizeHint() const override;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    class HeaderArea;

    void place(QScrollArea* area, QWidget* widget);
    void scheduleRelayout();
    void syncHeaders();
    void syncBar(QScrollBar* from, QScrollBar* to);

    QGridLayout* grid_;
    QWidget* cornerHost_;
    QPointer<QWidget> corner_;
    HeaderArea* topArea_;
    HeaderArea* leftArea_;
    QScrollArea* contentArea_;
    QScrollBar* horizontalBar_;
    QScrollBar* verticalBar_;
    // The header sizes last measured; a quadrant that reports an empty size keeps them.
    int headerHeight_ = 0;
    int headerWidth_ = 0;
    bool relayoutPending_ = false;
    // Set while the headers are moved to the cells' offset, so that their moves are not taken as the
    // user's.
    bool syncing_ = false;
};
