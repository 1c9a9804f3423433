// A row of segments of which one is chosen, drawn as one rounded control: the capture lab's choice of
// capture method. It shows the index it is given and reports the user's choice by click or arrow key;
// the owner decides what is shown next.
#pragma once

#include <QStringList>
#include <QWidget>

#include "TandrelApp/Support/Theme.h"

class SegmentedPicker : public QWidget {
    Q_OBJECT

public:
    SegmentedPicker(QStringList segments, Theme::Metrics metrics, QWidget* parent = nullptr);

    const QStringList& segments() const { return segments_; }
    // -1 chooses none.
    int currentIndex() const { return current_; }
    void setCurrentIndex(int index);
    // The segment's area, for tests that click it.
    QRect segmentRect(int index) const;

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override { return sizeHint(); }

signals:
    // The user chose the segment (also the one already chosen).
    void activated(int index);

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;

private:
    int segmentAt(QPoint point) const;
    std::vector<int> segmentWidths() const;

    QStringList segments_;
    Theme::Metrics metrics_;
    int current_ = -1;
    int pressed_ = -1;
    bool keyboardFocus_ = false;
};
