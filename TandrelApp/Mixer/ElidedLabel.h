// A one-line text that shortens itself with an ellipsis when it does not fit (at its end, or in its
// middle for device names and paths), in a colour role: row and group names and status lines of the
// matrix, the values of the About pane. The text is drawn as it is, never read as markup.
#pragma once

#include <QWidget>

#include "TandrelApp/Support/ThemeRoles.h"

class ElidedLabel : public QWidget {
    Q_OBJECT

public:
    explicit ElidedLabel(Qt::TextElideMode mode = Qt::ElideRight, QWidget* parent = nullptr);

    void setText(const QString& text);
    QString text() const { return text_; }
    void setColorRole(ColorRole role);
    ColorRole colorRole() const { return role_; }
    // As high as the text's ink rather than the font's full line (Theme::lineBox), where a view has to
    // fit several lines into a fixed height.
    void setCompactLine(bool compact);
    // Left (the default) or right within the label's width.
    void setAlignment(Qt::AlignmentFlag horizontal);
    // Hovering a shortened text shows the whole of it.
    void setShowsFullTextWhenElided(bool shows);
    // The text as it is drawn at the current width.
    QString shownText() const;
    // What hovering shows: the whole text while it is shortened (when asked for), else the widget's
    // own tooltip.
    QString toolTipText() const;

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    bool event(QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    Qt::TextElideMode mode_;
    QString text_;
    ColorRole role_ = ColorRole::primary;
    bool compact_ = false;
    Qt::AlignmentFlag alignment_ = Qt::AlignLeft;
    bool fullTextToolTip_ = false;
};
