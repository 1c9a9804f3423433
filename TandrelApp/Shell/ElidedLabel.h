// A one-line text that ends in "…" when its space is too narrow, instead of widening its row: the names
// in the menu-bar panel's rows and the excluded-apps pane. The full text stays readable for tests.
#pragma once

#include <QString>
#include <QWidget>

class ElidedLabel : public QWidget {
    Q_OBJECT

public:
    explicit ElidedLabel(QWidget* parent = nullptr);

    void setText(const QString& text);
    const QString& text() const { return text_; }
    // The text as it is drawn at the current width.
    QString shownText() const;

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    QString text_;
};
