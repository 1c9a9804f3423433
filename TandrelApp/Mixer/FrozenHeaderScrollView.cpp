#include "TandrelApp/Mixer/FrozenHeaderScrollView.h"

#include <algorithm>

#include <QCoreApplication>
#include <QEvent>
#include <QGridLayout>
#include <QScopedValueRollback>
#include <QScrollBar>
#include <QVBoxLayout>
#include <QWheelEvent>

namespace {

// A scroll area without scroll bars or a frame, whose document stays pinned at its top-left corner and
// keeps its own size.
void makePlain(QScrollArea* area) {
    area->setFrameShape(QFrame::NoFrame);
    area->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    area->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    area->setWidgetResizable(false);
    area->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    area->viewport()->setAutoFillBackground(false);
    area->setAutoFillBackground(false);
}

} // namespace

// A header quadrant: a wheel over it scrolls the cells, which the headers follow.
class FrozenHeaderScrollView::HeaderArea : public QScrollArea {
public:
    HeaderArea(QScrollArea* target, QWidget* parent)
        : QScrollArea(parent)
        , target_(target) {
        makePlain(this);
        setFocusPolicy(Qt::NoFocus);
    }

protected:
    void wheelEvent(QWheelEvent* event) override {
        if (target_) {
            QCoreApplication::sendEvent(target_->viewport(), event);
        } else {
            QScrollArea::wheelEvent(event);
        }
    }

private:
    QPointer<QScrollArea> target_;
};

FrozenHeaderScrollView::FrozenHeaderScrollView(QWidget* parent)
    : QWidget(parent)
    , grid_(new QGridLayout(this))
    , cornerHost_(new QWidget(this))
    , contentArea_(new QScrollArea(this))
    , horizontalBar_(new QScrollBar(Qt::Horizontal, this))
    , verticalBar_(new QScrollBar(Qt::Vertical, this)) {
    makePlain(contentArea_);
    topArea_ = new HeaderArea(contentArea_, this);
    leftArea_ = new HeaderArea(contentArea_, this);
    auto* cornerLayout = new QVBoxLayout(cornerHost_);
    cornerLayout->setContentsMargins(0, 0, 0, 0);

    // The cells' scroll bars stand outside the cells, in the grid, so that the cells' viewport is
    // exactly as wide as the column headers' and as high as the row headers': both can reach every
    // offset the cells can.
    grid_->setContentsMargins(0, 0, 0, 0);
    grid_->setSpacing(0);
    grid_->addWidget(cornerHost_, 0, 0);
    grid_->addWidget(topArea_, 0, 1);
    grid_->addWidget(leftArea_, 1, 0);
    grid_->addWidget(contentArea_, 1, 1);
    grid_->addWidget(verticalBar_, 1, 2);
    grid_->addWidget(horizontalBar_, 2, 1);
    grid_->setRowStretch(1, 1);
    grid_->setColumnStretch(1, 1);
    horizontalBar_->hide();
    verticalBar_->hide();

    syncBar(contentArea_->horizontalScrollBar(), horizontalBar_);
    syncBar(contentArea_->verticalScrollBar(), verticalBar_);
    connect(contentArea_->horizontalScrollBar(), &QScrollBar::valueChanged, this,
            &FrozenHeaderScrollView::syncHeaders);
    connect(contentArea_->verticalScrollBar(), &QScrollBar::valueChanged, this,
            &FrozenHeaderScrollView::syncHeaders);
    // A header that scrolled by itself (to show a child that took the focus) takes the cells along.
    connect(topArea_->horizontalScrollBar(), &QScrollBar::valueChanged, this, [this](int x) {
        if (!syncing_) {
            contentArea_->horizontalScrollBar()->setValue(x);
        }
    });
    connect(leftArea_->verticalScrollBar(), &QScrollBar::valueChanged, this, [this](int y) {
        if (!syncing_) {
            contentArea_->verticalScrollBar()->setValue(y);
        }
    });
    // A header's own range changes with its document; keep it where the cells are.
    connect(topArea_->horizontalScrollBar(), &QScrollBar::rangeChanged, this,
            &FrozenHeaderScrollView::syncHeaders);
    connect(leftArea_->verticalScrollBar(), &QScrollBar::rangeChanged, this,
            &FrozenHeaderScrollView::syncHeaders);

    contentArea_->viewport()->installEventFilter(this);
    topArea_->viewport()->installEventFilter(this);
    leftArea_->viewport()->installEventFilter(this);
}

FrozenHeaderScrollView::~FrozenHeaderScrollView() = default;

// The outside bar mirrors the cells' own (hidden) bar in both directions and shows only when needed.
void FrozenHeaderScrollView::syncBar(QScrollBar* inner, QScrollBar* outer) {
    connect(inner, &QScrollBar::rangeChanged, outer, [inner, outer](int minimum, int maximum) {
        outer->setRange(minimum, maximum);
        outer->setPageStep(inner->pageStep());
        outer->setSingleStep(inner->singleStep());
        outer->setVisible(maximum > minimum);
    });
    connect(inner, &QScrollBar::valueChanged, outer, &QScrollBar::setValue);
    connect(outer, &QScrollBar::valueChanged, inner, &QScrollBar::setValue);
}

QScrollArea* FrozenHeaderScrollView::topArea() const {
    return topArea_;
}

QScrollArea* FrozenHeaderScrollView::leftArea() const {
    return leftArea_;
}

QWidget* FrozenHeaderScrollView::top() const {
    return topArea_->widget();
}

QWidget* FrozenHeaderScrollView::left() const {
    return leftArea_->widget();
}

QWidget* FrozenHeaderScrollView::content() const {
    return contentArea_->widget();
}

void FrozenHeaderScrollView::setCorner(QWidget* widget) {
    if (corner_) {
        corner_->hide();
        corner_->deleteLater();
    }
    corner_ = widget;
    if (widget != nullptr) {
        cornerHost_->layout()->addWidget(widget);
    }
}

void FrozenHeaderScrollView::setTop(QWidget* widget) {
    place(topArea_, widget);
}

void FrozenHeaderScrollView::setLeft(QWidget* widget) {
    place(leftArea_, widget);
}

void FrozenHeaderScrollView::setContent(QWidget* widget) {
    place(contentArea_, widget);
}

void FrozenHeaderScrollView::place(QScrollArea* area, QWidget* widget) {
    const int x = contentArea_->horizontalScrollBar()->value();
    const int y = contentArea_->verticalScrollBar()->value();
    // The old quadrant may be the sender of the change that replaces it: it goes after this event.
    if (QWidget* old = area->takeWidget()) {
        old->hide();
        old->deleteLater();
    }
    if (widget != nullptr) {
        widget->setAutoFillBackground(false);
        widget->installEventFilter(this);
        area->setWidget(widget);
    }
    relayout();
    contentArea_->horizontalScrollBar()->setValue(x);
    contentArea_->verticalScrollBar()->setValue(y);
    syncHeaders();
}

void FrozenHeaderScrollView::relayout() {
    relayoutPending_ = false;
    for (QScrollArea* area :
         {static_cast<QScrollArea*>(topArea_), static_cast<QScrollArea*>(leftArea_), contentArea_}) {
        if (QWidget* widget = area->widget()) {
            widget->resize(widget->sizeHint().expandedTo(widget->minimumSizeHint()).expandedTo(QSize(0, 0)));
        }
    }
    // A quadrant that reports no size (being rebuilt) does not collapse the headers.
    if (QWidget* top = topArea_->widget(); top != nullptr && top->height() > 0) {
        headerHeight_ = top->height();
    }
    if (QWidget* left = leftArea_->widget(); left != nullptr && left->width() > 0) {
        headerWidth_ = left->width();
    }
    topArea_->setFixedHeight(headerHeight_);
    leftArea_->setFixedWidth(headerWidth_);
    cornerHost_->setFixedSize(headerWidth_, headerHeight_);
    updateGeometry();
    syncHeaders();
}

QSize FrozenHeaderScrollView::sizeHint() const {
    const auto wanted = [](const QScrollArea* area) {
        const QWidget* widget = area->widget();
        return widget != nullptr ? widget->sizeHint().expandedTo(widget->minimumSizeHint()) : QSize(0, 0);
    };
    const QSize top = wanted(topArea_);
    const QSize left = wanted(leftArea_);
    const QSize cells = wanted(contentArea_);
    // A scroll bar still shown takes its room from the cells until the larger size hides it.
    const int barWidth = verticalBar_->isVisible() ? verticalBar_->sizeHint().width() : 0;
    const int barHeight = horizontalBar_->isVisible() ? horizontalBar_->sizeHint().height() : 0;
    return {left.width() + std::max(top.width(), cells.width()) + barWidth,
            top.height() + std::max(left.height(), cells.height()) + barHeight};
}

void FrozenHeaderScrollView::scheduleRelayout() {
    if (relayoutPending_) {
        return;
    }
    relayoutPending_ = true;
    QMetaObject::invokeMethod(this, &FrozenHeaderScrollView::relayout, Qt::QueuedConnection);
}

void FrozenHeaderScrollView::syncHeaders() {
    const int x = contentArea_->horizontalScrollBar()->value();
    const int y = contentArea_->verticalScrollBar()->value();
    const QScopedValueRollback guard(syncing_, true);
    if (QScrollBar* top = topArea_->horizontalScrollBar(); top->value() != x) {
        top->setValue(x);
    }
    if (QScrollBar* left = leftArea_->verticalScrollBar(); left->value() != y) {
        left->setValue(y);
    }
}

bool FrozenHeaderScrollView::eventFilter(QObject* watched, QEvent* event) {
    // A quadrant whose size hint changed asks its parent (the viewport) or itself for a new layout.
    if (event->type() == QEvent::LayoutRequest) {
        scheduleRelayout();
    }
    return QWidget::eventFilter(watched, event);
}
