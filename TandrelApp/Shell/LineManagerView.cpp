#include "TandrelApp/Shell/LineManagerView.h"

#include <chrono>
#include <utility>

#include <QComboBox>
#include <QFrame>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollArea>
#include <QShowEvent>
#include <QSignalBlocker>
#include <QVBoxLayout>
#include <qcoro/qcorotimer.h>

#include "TandrelApp/Engine/CoreAudioCall.h"
#include "TandrelApp/Mixer/MixerStyle.h"
#include "TandrelApp/Shell/PaneWidgets.h"
#include "TandrelApp/Support/GlyphButton.h"
#include "TandrelApp/Support/GlyphView.h"
#include "TandrelApp/Support/SpawnOnMain.h"

namespace {

// Column widths of the table, in points; the name takes the rest.
constexpr double kNumberWidth = 40;
constexpr double kChannelsWidth = 90;
constexpr double kDeleteWidth = 28;
constexpr double kCellSpacing = 8;
constexpr double kRowInset = 8;
constexpr double kMinimumTableHeight = 200;

using PaneWidgets::text;

// A table line's layout: the four columns at their widths.
QHBoxLayout* columns(QWidget* line, const Theme::Metrics& metrics, int verticalInset) {
    auto* layout = new QHBoxLayout(line);
    const int inset = metrics.px(kRowInset);
    layout->setContentsMargins(inset, verticalInset, inset, verticalInset);
    layout->setSpacing(metrics.px(kCellSpacing));
    return layout;
}

} // namespace

// ---- Row

LineManagerView::Row::Row(LineManagerView& view, std::int64_t number)
    : lineNumber_(number)
    , number_(new QLabel)
    , name_(new QLineEdit)
    , channels_(new QComboBox)
    , delete_(new GlyphButton({"minus.circle", ColorRole::red}, view.metrics_.size(16, 16))) {
    const Theme::Metrics& metrics = view.metrics_;
    QHBoxLayout* layout = columns(this, metrics, metrics.px(3));
    number_->setFont(metrics.font(TextStyle::body, {.monospacedDigits = true}));
    number_->setFixedWidth(metrics.px(kNumberWidth));
    layout->addWidget(number_, 0, Qt::AlignVCenter);
    name_->setPlaceholderText(text(LineManagerModel::namePlaceholder));
    layout->addWidget(name_, 1, Qt::AlignVCenter);
    channels_->setFixedWidth(metrics.px(kChannelsWidth));
    layout->addWidget(channels_, 0, Qt::AlignVCenter);
    auto* deleteCell = new QWidget;
    deleteCell->setFixedWidth(metrics.px(kDeleteWidth));
    auto* deleteLayout = new QHBoxLayout(deleteCell);
    deleteLayout->setContentsMargins(0, 0, 0, 0);
    deleteLayout->addWidget(delete_, 0, Qt::AlignCenter);
    delete_->setToolTip(text(LineManagerModel::deleteHelp));
    layout->addWidget(deleteCell, 0, Qt::AlignVCenter);

    LineManagerView* owner = &view;
    connect(name_, &QLineEdit::textEdited, this, [owner, number](const QString& name) {
        owner->model_.setName(number, name.toStdString());
        owner->edited();
    });
    connect(channels_, &QComboBox::activated, this, [this, owner, number](int index) {
        if (index >= 0 && index < static_cast<int>(choices_.size())) {
            owner->model_.setChannels(number, choices_[static_cast<std::size_t>(index)]);
            owner->edited();
        }
    });
    connect(delete_, &QAbstractButton::clicked, this, [owner, number] {
        owner->model_.removeLine(number);
        owner->edited();
    });
}

void LineManagerView::Row::display(const LineSpec& line, bool canDelete) {
    number_->setText(QString::number(line.number));
    // Only a text that differs is set, so the cursor stays where the user types.
    if (name_->text().toStdString() != line.name) {
        name_->setText(QString::fromStdString(line.name));
    }
    const std::vector<std::int64_t> choices = LineManagerModel::channelChoices(line.channels);
    const QSignalBlocker quiet(channels_);
    if (choices != choices_) {
        choices_ = choices;
        channels_->clear();
        for (std::int64_t count : choices_) {
            channels_->addItem(QString::fromStdString(LineManagerModel::channelTitle(count)));
        }
    }
    const auto found = std::ranges::find(choices_, line.channels);
    channels_->setCurrentIndex(static_cast<int>(found - choices_.begin()));
    delete_->setEnabled(canDelete);
    delete_->setGlyph({"minus.circle", canDelete ? ColorRole::red : ColorRole::secondary});
}

// ---- LineManagerView

LineManagerView::LineManagerView(Theme::Metrics metrics)
    : LineManagerView(Driver{}, metrics) {}

LineManagerView::LineManagerView(Driver driver, Theme::Metrics metrics)
    : driver_(std::move(driver))
    , metrics_(metrics) {
    QVBoxLayout* layout = PaneWidgets::paneColumn(*this, metrics, LineManagerModel::explanation);
    layout->addWidget(buildProgress());
    layout->addWidget(buildTable(), 1);
    layout->addWidget(buildAddRow());
    error_ = PaneWidgets::wrappedLabel("", metrics.font(TextStyle::callout), ColorRole::red);
    error_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    layout->addWidget(error_);
    layout->addStretch(0);
    layout->addWidget(buildFooter());

    refresh();
}

LineManagerView::~LineManagerView() = default;

QWidget* LineManagerView::buildProgress() {
    progress_ = new QWidget;
    auto* layout = new QVBoxLayout(progress_);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(metrics_.px(4));
    layout->addWidget(PaneWidgets::label(LineManagerModel::loadingText, metrics_.font(TextStyle::callout)));
    auto* bar = new QProgressBar;
    bar->setRange(0, 0);
    bar->setTextVisible(false);
    bar->setFixedHeight(metrics_.px(6));
    layout->addWidget(bar);
    return progress_;
}

QWidget* LineManagerView::buildTable() {
    auto* frame = new QFrame;
    frame->setObjectName(QStringLiteral("lines-table"));
    frame->setFrameShape(QFrame::StyledPanel);
    frame->setAutoFillBackground(true);
    frame->setBackgroundRole(QPalette::Base);
    frame->setMinimumHeight(metrics_.px(kMinimumTableHeight));
    auto* layout = new QVBoxLayout(frame);
    layout->setContentsMargins(1, 1, 1, 1);
    layout->setSpacing(0);

    auto* header = new QWidget;
    QHBoxLayout* headerColumns = columns(header, metrics_, metrics_.px(4));
    const auto title = [this](std::string_view name, double width) {
        QLabel* label =
            PaneWidgets::label(name, metrics_.font(TextStyle::caption, {.weight = Theme::Weight::semibold}),
                               ColorRole::secondary);
        if (width > 0) {
            label->setFixedWidth(metrics_.px(width));
        }
        return label;
    };
    headerColumns->addWidget(title(LineManagerModel::numberColumn, kNumberWidth));
    headerColumns->addWidget(title(LineManagerModel::nameColumn, 0), 1);
    headerColumns->addWidget(title(LineManagerModel::channelsColumn, kChannelsWidth));
    headerColumns->addWidget(title("", kDeleteWidth));
    layout->addWidget(header);
    layout->addWidget(MixerStyle::divider());

    auto* list = new QWidget;
    auto* rows = new QVBoxLayout(list);
    rows->setContentsMargins(0, metrics_.px(2), 0, metrics_.px(2));
    rows->setSpacing(0);
    rows->addStretch(1);
    rows_ = std::make_unique<KeyedChildren<std::int64_t, Row>>(rows);
    auto* scroll = new QScrollArea;
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setWidgetResizable(true);
    scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    scroll->setWidget(list);
    layout->addWidget(scroll, 1);
    table_ = frame;
    return frame;
}

QWidget* LineManagerView::buildAddRow() {
    addRow_ = new QWidget;
    auto* layout = new QHBoxLayout(addRow_);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(metrics_.px(8));
    add_ = PaneWidgets::button(LineManagerModel::addTitle, metrics_);
    add_->setIcon(QIcon(Glyphs::pixmap("plus", palette().color(QPalette::ButtonText), metrics_.sizeF(12, 12),
                                       devicePixelRatioF())));
    connect(add_, &QPushButton::clicked, this, &LineManagerView::addLine);
    layout->addWidget(add_);
    layout->addStretch(1);

    removalNote_ = new QWidget;
    auto* note = new QHBoxLayout(removalNote_);
    note->setContentsMargins(0, 0, 0, 0);
    note->setSpacing(metrics_.px(4));
    note->addWidget(new GlyphView({"info.circle", ColorRole::secondary}, metrics_.size(12, 12)), 0,
                    Qt::AlignVCenter);
    note->addWidget(PaneWidgets::label(LineManagerModel::removalNote, metrics_.font(TextStyle::caption),
                                       ColorRole::secondary),
                    0, Qt::AlignVCenter);
    layout->addWidget(removalNote_);
    return addRow_;
}

QWidget* LineManagerView::buildFooter() {
    auto* footer = new QWidget;
    auto* layout = new QHBoxLayout(footer);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addStretch(1);
    revert_ = PaneWidgets::button(LineManagerModel::revertTitle, metrics_);
    connect(revert_, &QPushButton::clicked, this, &LineManagerView::revert);
    apply_ = PaneWidgets::button("", metrics_);
    apply_->setDefault(true);
    connect(apply_, &QPushButton::clicked, this, &LineManagerView::apply);
    layout->addWidget(revert_);
    layout->addWidget(apply_);
    return footer;
}

void LineManagerView::refresh() {
    const LineManagerModel::State state = model_.state();
    progress_->setVisible(state == LineManagerModel::State::reading);
    table_->setVisible(model_.editable());
    addRow_->setVisible(model_.editable());

    std::vector<std::int64_t> numbers;
    for (const auto& line : model_.lines()) {
        numbers.push_back(line.number);
    }
    const bool canDelete = model_.canDelete();
    rows_->sync(
        numbers, [this](const std::int64_t& number) { return new Row(*this, number); },
        [&](Row& row, const std::int64_t& number) {
            row.display(*std::ranges::find(model_.lines(), number, &LineSpec::number), canDelete);
        });

    add_->setEnabled(model_.canAdd());
    removalNote_->setVisible(model_.hasRemovals());
    error_->setText(QString::fromStdString(model_.error().value_or("")));
    error_->setVisible(model_.error().has_value());
    revert_->setEnabled(model_.canRevert());
    apply_->setText(QString::fromStdString(model_.applyTitle()));
    apply_->setEnabled(model_.canApply());
}

void LineManagerView::edited() {
    refresh();
}

void LineManagerView::addLine() {
    model_.addLine();
    refresh();
}

void LineManagerView::revert() {
    model_.revert();
    refresh();
}

std::vector<LineManagerView::Row*> LineManagerView::rows() const {
    return rows_->widgets();
}

LineManagerView::Row* LineManagerView::row(std::int64_t number) const {
    return rows_->find(number);
}

// Return applies, as the pane's default action: the text fields pass it on.
void LineManagerView::keyPressEvent(QKeyEvent* event) {
    if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) &&
        (event->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier) {
        if (apply_->isEnabled()) {
            apply_->click();
        }
        event->accept();
        return;
    }
    QWidget::keyPressEvent(event);
}

void LineManagerView::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    // A window coming back from the taskbar is no new appearance of the pane.
    if (!event->spontaneous()) {
        load();
    }
}

void LineManagerView::hideEvent(QHideEvent* event) {
    QWidget::hideEvent(event);
    if (!event->spontaneous()) {
        ++loadGeneration_;
    }
}

void LineManagerView::load() {
    const std::uint64_t generation = ++loadGeneration_;
    spawnOnMain(
        [self = QPointer(this), generation, driver = driver_] { return runLoad(self, generation, driver); });
}

void LineManagerView::apply() {
    spawnOnMain([self = QPointer(this), driver = driver_] { return runApply(self, driver); });
}

QCoro::Task<> LineManagerView::runLoad(QPointer<LineManagerView> self, std::uint64_t generation,
                                       Driver driver) {
    std::optional<std::vector<LineSpec>> lines;
    std::string failure;
    try {
        // Made before it is awaited: a temporary in the awaiting expression is not safe with this
        // compiler's coroutines.
        auto reading =
            CoreAudioCall::run(std::string(LineManagerModel::readLabel), driver.timeout, driver.read);
        lines = co_await std::move(reading);
    } catch (const std::exception& error) {
        failure = error.what();
    }
    // A pane hidden meanwhile, or shown again with a newer read, takes nothing from this one.
    if (!self || self->loadGeneration_ != generation) {
        co_return;
    }
    if (self->model_.applying()) {
        self->readDuringApply_ = true;
        co_return;
    }
    if (lines) {
        self->model_.loadSucceeded(std::move(*lines));
    } else {
        self->model_.loadFailed(std::move(failure));
    }
    self->refresh();
    emit self->loadFinished();
}

QCoro::Task<> LineManagerView::runApply(QPointer<LineManagerView> self, Driver driver) {
    if (!self || !self->model_.canApply()) {
        co_return;
    }
    std::vector<LineSpec> written = self->model_.beginApply();
    self->refresh();
    std::optional<std::string> failure;
    try {
        auto writing = CoreAudioCall::run(std::string(LineManagerModel::writeLabel), driver.timeout,
                                          [write = driver.write, written] { write(written); });
        co_await std::move(writing);
    } catch (const std::exception& error) {
        failure = error.what();
    }
    // The pane shows the list the driver reports once it has applied the write, never the one from
    // before it, which a read right after the write still gets.
    std::optional<std::vector<LineSpec>> reported;
    std::optional<std::string> readFailure;
    if (!failure) {
        try {
            auto reading = readApplied(driver, LineManagerModel::asApplied(written));
            reported = co_await std::move(reading);
        } catch (const std::exception& error) {
            readFailure = error.what();
        }
    }
    if (!self) {
        co_return;
    }
    const bool readAsked = std::exchange(self->readDuringApply_, false);
    if (failure) {
        self->model_.applyFailed(std::move(*failure));
    } else {
        self->model_.applySucceeded(written, std::move(reported), readAsked);
        if (readFailure) {
            self->model_.loadFailed(std::move(*readFailure));
        }
    }
    self->refresh();
    emit self->applyFinished();
    if (readAsked) {
        if (failure) {
            self->load();
        } else {
            emit self->loadFinished();
        }
    }
}

QCoro::Task<std::vector<LineSpec>> LineManagerView::readApplied(Driver driver,
                                                                std::vector<LineSpec> expected) {
    const auto patience = std::chrono::duration<double>(LineManagerModel::applyPatience);
    const auto deadline = std::chrono::steady_clock::now() + patience;
    for (;;) {
        auto reading =
            CoreAudioCall::run(std::string(LineManagerModel::readLabel), driver.timeout, driver.read);
        std::vector<LineSpec> lines = co_await std::move(reading);
        if (lines == expected || std::chrono::steady_clock::now() >= deadline) {
            co_return lines;
        }
        auto waiting = QCoro::sleepFor(LineManagerModel::applyPoll);
        co_await std::move(waiting);
    }
}
