// The frozen-header scroll view: only the cells scroll, the column headers follow their horizontal and
// the row headers their vertical offset, a wheel over a header scrolls the cells, the headers size
// themselves after the (scaled) quadrants, and replacing quadrants keeps the position.
#include <QApplication>
#include <QPointer>
#include <QScrollBar>
#include <QTest>
#include <QVBoxLayout>
#include <QWheelEvent>
#include <gtest/gtest.h>

#include "MatrixPattern.h"
#include "TandrelApp/Mixer/FrozenHeaderScrollView.h"

namespace {

using Part = MatrixPattern::Part;

class FrozenHeaderScrollViewTest : public ::testing::Test {
protected:
    void build(Theme::Metrics metrics, int columns = 10, int rows = 8) {
        top = new MatrixPattern(Part::columnHeaders, columns, rows, metrics);
        left = new MatrixPattern(Part::rowHeaders, columns, rows, metrics);
        cells = new MatrixPattern(Part::cells, columns, rows, metrics);
        view.setCorner(new MatrixPattern(Part::corner, columns, rows, metrics));
        view.setTop(top);
        view.setLeft(left);
        view.setContent(cells);
        view.resize(400, 300);
        view.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&view));
        QApplication::processEvents();
    }

    QPoint inView(QWidget* widget, QPoint point) const { return widget->mapTo(&view, point); }

    void wheel(QWidget* target, QPoint angle) {
        const QPointF position(5, 5);
        QWheelEvent event(position, target->mapToGlobal(position), QPoint(), angle, Qt::NoButton,
                          Qt::NoModifier, Qt::NoScrollPhase, false);
        QCoreApplication::sendEvent(target, &event);
    }

    FrozenHeaderScrollView view;
    MatrixPattern* top = nullptr;
    MatrixPattern* left = nullptr;
    MatrixPattern* cells = nullptr;
};

TEST_F(FrozenHeaderScrollViewTest, HeadersStayPutAndFollowTheCellsOnTheirOwnAxisOnly) {
    build(Theme::Metrics());
    const QRect topArea = view.topArea()->geometry();
    const QRect leftArea = view.leftArea()->geometry();
    ASSERT_TRUE(view.horizontalScrollBar()->isVisible());
    ASSERT_TRUE(view.verticalScrollBar()->isVisible());
    EXPECT_EQ(view.topArea()->viewport()->width(), view.contentArea()->viewport()->width())
        << "the headers can reach every offset the cells can";
    EXPECT_EQ(view.leftArea()->viewport()->height(), view.contentArea()->viewport()->height());

    view.horizontalScrollBar()->setValue(150);
    EXPECT_EQ(view.contentArea()->horizontalScrollBar()->value(), 150);
    EXPECT_EQ(view.topArea()->horizontalScrollBar()->value(), 150);
    EXPECT_EQ(view.leftArea()->verticalScrollBar()->value(), 0);
    view.verticalScrollBar()->setValue(100);
    EXPECT_EQ(view.leftArea()->verticalScrollBar()->value(), 100);
    EXPECT_EQ(view.topArea()->verticalScrollBar()->value(), 0);
    EXPECT_EQ(view.topArea()->horizontalScrollBar()->value(), 150);

    EXPECT_EQ(view.topArea()->geometry(), topArea) << "the header strip stays where it is";
    EXPECT_EQ(view.leftArea()->geometry(), leftArea);
    for (int column : {3, 5}) {
        EXPECT_EQ(inView(top, {top->columnX(column), 0}).x(), inView(cells, {cells->columnX(column), 0}).x())
            << "column " << column << " lines up with its header";
    }
    EXPECT_EQ(inView(left, {0, left->rowY(4)}).y(), inView(cells, {0, cells->rowY(4)}).y());

    // Scrolling to the far end keeps them aligned (the headers have the same viewport).
    view.horizontalScrollBar()->setValue(view.horizontalScrollBar()->maximum());
    EXPECT_EQ(inView(top, {top->columnX(9), 0}).x(), inView(cells, {cells->columnX(9), 0}).x());
}

TEST_F(FrozenHeaderScrollViewTest, AWheelOverEitherHeaderScrollsTheCells) {
    build(Theme::Metrics());
    wheel(view.topArea()->viewport(), QPoint(0, -120));
    const int afterTop = view.contentArea()->verticalScrollBar()->value();
    EXPECT_GT(afterTop, 0);
    EXPECT_EQ(view.leftArea()->verticalScrollBar()->value(), afterTop);
    EXPECT_EQ(view.topArea()->verticalScrollBar()->value(), 0);

    wheel(view.leftArea()->viewport(), QPoint(-120, 0));
    EXPECT_GT(view.contentArea()->horizontalScrollBar()->value(), 0);
    EXPECT_EQ(view.topArea()->horizontalScrollBar()->value(),
              view.contentArea()->horizontalScrollBar()->value());
    EXPECT_EQ(view.leftArea()->horizontalScrollBar()->value(), 0);
}

TEST_F(FrozenHeaderScrollViewTest, HeadersTakeTheQuadrantsSizeAtEveryScaleAndTheCornerTheirCrossing) {
    build(Theme::Metrics(1.0));
    const int height = view.topArea()->height();
    const int width = view.leftArea()->width();
    EXPECT_EQ(height, 40);
    EXPECT_EQ(width, 120);
    EXPECT_EQ(view.corner()->size(), QSize(width, height));

    FrozenHeaderScrollView large;
    large.setCorner(new MatrixPattern(Part::corner, 10, 8, Theme::Metrics(1.5)));
    large.setTop(new MatrixPattern(Part::columnHeaders, 10, 8, Theme::Metrics(1.5)));
    large.setLeft(new MatrixPattern(Part::rowHeaders, 10, 8, Theme::Metrics(1.5)));
    large.setContent(new MatrixPattern(Part::cells, 10, 8, Theme::Metrics(1.5)));
    large.resize(400, 300);
    large.show();
    QApplication::processEvents();
    EXPECT_EQ(large.topArea()->height(), height * 3 / 2);
    EXPECT_EQ(large.leftArea()->width(), width * 3 / 2);
    EXPECT_EQ(large.corner()->size(), QSize(width * 3 / 2, height * 3 / 2));
    EXPECT_EQ(large.corner()->geometry().bottomRight() + QPoint(1, 1),
              large.contentArea()->geometry().topLeft());
}

TEST_F(FrozenHeaderScrollViewTest, ScrollBarsShowOnlyWhenTheCellsDoNotFit) {
    build(Theme::Metrics(), 2, 2);
    EXPECT_FALSE(view.horizontalScrollBar()->isVisible());
    EXPECT_FALSE(view.verticalScrollBar()->isVisible());
    view.setContent(new MatrixPattern(Part::cells, 12, 2, Theme::Metrics()));
    QApplication::processEvents();
    EXPECT_TRUE(view.horizontalScrollBar()->isVisible());
    EXPECT_FALSE(view.verticalScrollBar()->isVisible());
}

TEST_F(FrozenHeaderScrollViewTest, ReplacingQuadrantsKeepsTheScrollPositionAndAnEmptyOneKeepsTheHeaderSize) {
    build(Theme::Metrics());
    view.horizontalScrollBar()->setValue(120);
    view.verticalScrollBar()->setValue(90);
    const QPointer<QWidget> oldCells = cells;

    view.setContent(new MatrixPattern(Part::cells, 10, 8, Theme::Metrics()));
    view.setTop(new MatrixPattern(Part::columnHeaders, 10, 8, Theme::Metrics()));
    QApplication::processEvents();
    EXPECT_EQ(view.contentArea()->horizontalScrollBar()->value(), 120);
    EXPECT_EQ(view.contentArea()->verticalScrollBar()->value(), 90);
    EXPECT_EQ(view.topArea()->horizontalScrollBar()->value(), 120);
    EXPECT_EQ(view.leftArea()->verticalScrollBar()->value(), 90);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(oldCells.isNull()) << "the replaced quadrant is deleted after the event";

    // A quadrant that reports no size while it is rebuilt does not collapse the header strip.
    view.setTop(new QWidget);
    QApplication::processEvents();
    EXPECT_EQ(view.topArea()->height(), 40);
}

TEST_F(FrozenHeaderScrollViewTest, AQuadrantThatGrowsResizesItsHeader) {
    build(Theme::Metrics());
    auto* strip = new QWidget;
    auto* layout = new QVBoxLayout(strip);
    layout->setContentsMargins(0, 0, 0, 0);
    auto* title = new QWidget;
    title->setFixedSize(600, 30);
    layout->addWidget(title);
    view.setTop(strip);
    QApplication::processEvents();
    EXPECT_EQ(view.topArea()->height(), 30);

    title->setFixedSize(600, 64);
    EXPECT_TRUE(QTest::qWaitFor([&] { return view.topArea()->height() == 64; }, 1000));
    EXPECT_EQ(view.corner()->height(), 64);
}

} // namespace
