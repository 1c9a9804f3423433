#include "TandrelApp/Mixer/EditableNumber.h"

#include <cmath>

#include <QApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QTimer>

#include "TandrelApp/Support/PlainText.h"

namespace {

QFont numberFont(const Theme::Metrics& metrics) {
    return metrics.font(TextStyle::caption2, {.monospacedDigits = true});
}

} // namespace

// The readout: the text right-aligned over the whole width, all of which takes the click.
class EditableNumber::Readout : public QWidget {
public:
    explicit Readout(EditableNumber& owner)
        : QWidget(&owner)
        , owner_(owner) {
        setFont(numberFont(owner.metrics_));
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.setPen(Theme::color(owner_.content_.color, palette()));
        const QString text = QString::fromStdString(owner_.content_.text);
        const QRect area = rect().adjusted(0, 0, -owner_.metrics_.px(2), 0);
        painter.drawText(area, Qt::AlignRight | Qt::AlignVCenter,
                         fontMetrics().elidedText(text, Qt::ElideLeft, area.width()));
    }
    void mousePressEvent(QMouseEvent* event) override {
        if (event->button() != Qt::LeftButton) {
            event->ignore();
            return;
        }
        owner_.beginEditing();
    }

private:
    EditableNumber& owner_;
};

// The field: borderless, on a rounded text background outlined in the accent colour, or in red while
// the last entry was refused.
class EditableNumber::Field : public QLineEdit {
public:
    explicit Field(EditableNumber& owner)
        : QLineEdit(&owner)
        , owner_(owner) {
        setFrame(false);
        setFont(numberFont(owner.metrics_));
        setAlignment(Qt::AlignRight | Qt::AlignVCenter);
        const int padding = owner.metrics_.px(2);
        setTextMargins(padding, 0, padding, 0);
        // The rounded background is painted here; the line edit's own square one stays off.
        QPalette colors = palette();
        colors.setColor(QPalette::Base, Qt::transparent);
        setPalette(colors);
        setAttribute(Qt::WA_MacShowFocusRect, false);
    }

protected:
    void paintEvent(QPaintEvent* event) override {
        const QRectF shape = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
        const double radius = owner_.metrics_.length(3);
        {
            QPainter painter(this);
            painter.setRenderHint(QPainter::Antialiasing);
            painter.setPen(Qt::NoPen);
            painter.setBrush(Theme::textBackground(owner_.palette()));
            painter.drawRoundedRect(shape, radius, radius);
        }
        QLineEdit::paintEvent(event);
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setBrush(Qt::NoBrush);
        const ColorRole outline = owner_.model_.invalid() ? ColorRole::red : ColorRole::accent;
        painter.setPen(
            QPen(Theme::color(outline, owner_.palette()), std::max(1.0, owner_.metrics_.length(1))));
        painter.drawRoundedRect(shape, radius, radius);
    }
    void keyPressEvent(QKeyEvent* event) override {
        switch (event->key()) {
        case Qt::Key_Return:
        case Qt::Key_Enter:
            event->accept();
            owner_.commit();
            return;
        case Qt::Key_Escape:
            event->accept();
            owner_.cancel();
            return;
        default:
            QLineEdit::keyPressEvent(event);
        }
    }
    void focusOutEvent(QFocusEvent* event) override {
        QLineEdit::focusOutEvent(event);
        // The field's own context menu takes the focus for a moment; that is no reason to close.
        if (event->reason() != Qt::PopupFocusReason) {
            owner_.cancel();
        }
    }

private:
    EditableNumber& owner_;
};

EditableNumber::EditableNumber(Theme::Metrics metrics, QWidget* parent)
    : QWidget(parent)
    , metrics_(metrics)
    , beep_([] { QApplication::beep(); })
    , readout_(new Readout(*this))
    , field_(new Field(*this)) {
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    connect(field_, &QLineEdit::textEdited, this, [this](const QString& text) {
        model_.setDraft(text.toStdString());
        field_->update();
    });
    showState();
}

EditableNumber::~EditableNumber() {
    if (watchingClicks_) {
        qApp->removeEventFilter(this);
    }
    // The parts refer to this widget's state: they go while it is still whole.
    delete field_;
    delete readout_;
}

QLineEdit* EditableNumber::field() const {
    return field_;
}

QWidget* EditableNumber::readout() const {
    return readout_;
}

// Two points around the digits' ink: the field still has room for the font's whole line inside its
// margins, and the rows that hold the control stay within their heights.
QSize EditableNumber::sizeHint() const {
    return {metrics_.px(content_.width), Theme::lineBox(numberFont(metrics_)).height + metrics_.px(4)};
}

void EditableNumber::setContent(const Content& content) {
    if (content == content_) {
        return;
    }
    const bool resized = content.width != content_.width;
    content_ = content;
    readout_->setToolTip(PlainText::toolTip(content_.help));
    if (resized) {
        // The readout and the field fill the control at its new width.
        setFixedSize(sizeHint());
        readout_->setGeometry(rect());
        field_->setGeometry(rect());
    }
    readout_->update();
}

void EditableNumber::beginEditing() {
    model_.begin(content_.editingText);
    field_->setText(QString::fromStdString(model_.draft()));
    showState();
    // The focus goes to the field once the click that opened it is over.
    QTimer::singleShot(0, field_, [this] {
        if (model_.editing()) {
            field_->setFocus(Qt::MouseFocusReason);
            field_->selectAll();
        }
    });
}

void EditableNumber::commit() {
    // Copies: the caller may replace its callbacks, or this widget, while it handles the value.
    const auto parse = parse_;
    const auto onCommit = onCommit_;
    const QPointer<EditableNumber> self(this);
    model_.commit(parse, onCommit, beep_);
    if (self) {
        showState();
    }
}

void EditableNumber::cancel() {
    if (!model_.editing()) {
        return;
    }
    model_.cancel();
    showState();
}

void EditableNumber::showState() {
    setFixedSize(sizeHint());
    readout_->setGeometry(rect());
    field_->setGeometry(rect());
    const bool editing = model_.editing();
    readout_->setVisible(!editing);
    field_->setVisible(editing);
    field_->update();
    // While the field is open, a press anywhere else closes it, as a click elsewhere does on the
    // desktop even where it gives no widget the focus.
    if (editing != watchingClicks_) {
        watchingClicks_ = editing;
        if (editing) {
            qApp->installEventFilter(this);
        } else {
            qApp->removeEventFilter(this);
        }
    }
}

bool EditableNumber::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::MouseButtonPress && model_.editing()) {
        auto* target = qobject_cast<QWidget*>(watched);
        const bool inField = target == field_ || (target != nullptr && field_->isAncestorOf(target));
        // Another popup (the field's own context menu) is no click elsewhere; inside the popup that
        // holds the field, a click elsewhere is one.
        const bool inOtherPopup =
            target != nullptr && target->window() != window() && target->window()->windowType() == Qt::Popup;
        if (target != nullptr && !inField && !inOtherPopup) {
            cancel();
        }
    }
    return QWidget::eventFilter(watched, event);
}
