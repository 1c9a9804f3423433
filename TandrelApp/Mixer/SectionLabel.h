// A section heading of the matrix ("音源", "ライン（モニター元）"): a small title over a divider, as
// wide as the part of the matrix it heads. GUI thread only.
#pragma once

#include <QWidget>

#include "TandrelApp/Support/Theme.h"

class SectionLabel : public QWidget {
    Q_OBJECT

public:
    explicit SectionLabel(Theme::Metrics metrics, QWidget* parent = nullptr);

    // `width` is in points.
    void display(const QString& title, double width);
    QString title() const { return title_; }
    // Where the divider runs, in the label's coordinates.
    QRect dividerRect() const;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    Theme::Metrics metrics_;
    QString title_;
};
