// Stand-in quadrants for the frozen-header scroll view's tests and the controls gallery: a strip of
// column headers, a column of row headers and the cells between them, sized by the matrix metrics at a
// display scale and painted plainly, so that alignment can be checked and seen.
#pragma once

#include <QPainter>
#include <QWidget>

#include "TandrelApp/Mixer/MatrixMetrics.h"
#include "TandrelApp/Support/Theme.h"

class MatrixPattern : public QWidget {
public:
    enum class Part { columnHeaders, rowHeaders, cells, corner };

    MatrixPattern(Part part, int columns, int rows, Theme::Metrics metrics)
        : part_(part)
        , columns_(columns)
        , rows_(rows)
        , metrics_(metrics) {}

    static constexpr double headerHeight = 40;
    static constexpr double rowHeaderWidth = 120;

    QSize sizeHint() const override {
        const double width = columns_ * MatrixMetrics::columnWidth + MatrixMetrics::outerMargin;
        const double height = rows_ * MatrixMetrics::sourceRowHeight + MatrixMetrics::outerMargin;
        switch (part_) {
        case Part::columnHeaders:
            return metrics_.size(width, headerHeight);
        case Part::rowHeaders:
            return metrics_.size(rowHeaderWidth, height);
        case Part::cells:
            return metrics_.size(width, height);
        case Part::corner:
            return {};
        }
        return {};
    }

    // Where column `index` starts, in this widget's coordinates.
    int columnX(int index) const { return metrics_.px(index * MatrixMetrics::columnWidth); }
    int rowY(int index) const { return metrics_.px(index * MatrixMetrics::sourceRowHeight); }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        const QPalette& colors = palette();
        const double column = metrics_.length(MatrixMetrics::columnWidth);
        const double row = metrics_.length(MatrixMetrics::sourceRowHeight);
        switch (part_) {
        case Part::corner:
        case Part::columnHeaders:
            painter.setPen(Theme::color(ColorRole::tertiary, colors));
            painter.drawLine(QPointF(0, height() - 0.5), QPointF(width(), height() - 0.5));
            if (part_ == Part::corner) {
                return;
            }
            painter.setFont(metrics_.font(TextStyle::caption2, {.monospacedDigits = true}));
            painter.setPen(Theme::color(ColorRole::secondary, colors));
            for (int c = 0; c < columns_; ++c) {
                painter.drawText(QRectF(c * column, 0, column, height()), Qt::AlignCenter,
                                 QStringLiteral("%1-%2").arg(2 * c + 1).arg(2 * c + 2));
            }
            return;
        case Part::rowHeaders:
            painter.setFont(metrics_.font(TextStyle::body));
            painter.setPen(Theme::color(ColorRole::primary, colors));
            for (int r = 0; r < rows_; ++r) {
                painter.drawText(QRectF(metrics_.length(16), r * row, width(), row),
                                 Qt::AlignLeft | Qt::AlignVCenter, QStringLiteral("音源 %1").arg(r + 1));
            }
            return;
        case Part::cells:
            painter.setPen(Qt::NoPen);
            for (int r = 0; r < rows_; ++r) {
                for (int c = 0; c < columns_; ++c) {
                    const bool lit = (r + c) % 3 == 0;
                    painter.setBrush(lit ? Theme::color(ColorRole::accent, colors, 0.8)
                                         : Theme::color(ColorRole::primary, colors, 0.06));
                    const double inset = metrics_.length(3);
                    painter.drawRoundedRect(
                        QRectF(c * column, r * row, column, row).adjusted(inset, inset, -inset, -inset),
                        metrics_.length(6), metrics_.length(6));
                }
            }
            return;
        }
    }

private:
    Part part_;
    int columns_;
    int rows_;
    Theme::Metrics metrics_;
};
