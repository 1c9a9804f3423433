// The settings window's lines pane: the driver's lines as an editable table (number, name, channel
// count, delete), with adding, undoing and one explicit step that writes the whole list to the driver.
// It reads the list each time it is shown and talks to the driver only through LineConfigurator on the
// audio-server call queue, never blocking the GUI thread; the driver then republishes its line devices
// and the controller learns of them by itself. GUI thread only.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include <QPointer>
#include <QWidget>
#include <qcoro/qcorotask.h>

#include "TandrelApp/Shell/LineManagerModel.h"
#include "TandrelApp/Support/KeyedChildren.h"
#include "TandrelApp/Support/Theme.h"

class GlyphButton;
class QComboBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;

class LineManagerView : public QWidget {
    Q_OBJECT

public:
    // How the pane reaches the driver; the application uses LineConfigurator with the 5 s time-out.
    struct Driver {
        std::function<std::vector<LineSpec>()> read = &LineConfigurator::read;
        std::function<void(const std::vector<LineSpec>&)> write = &LineConfigurator::write;
        double timeout = LineManagerModel::callTimeout;
    };

    // The application's pane, on the driver through LineConfigurator.
    explicit LineManagerView(Theme::Metrics metrics = Theme::Metrics(1.0));
    explicit LineManagerView(Driver driver, Theme::Metrics metrics = Theme::Metrics(1.0));
    ~LineManagerView() override;

    const LineManagerModel& model() const { return model_; }

    // Reads the driver's list, as showing the pane does; a read still running is superseded.
    void load();
    // Writes the edited list to the driver, as the apply button does.
    void apply();
    // Edits as the table's buttons make them.
    void addLine();
    void revert();

    class Row;
    std::vector<Row*> rows() const;
    Row* row(std::int64_t number) const;
    QWidget& progress() const { return *progress_; }
    QWidget& table() const { return *table_; }
    QPushButton& addButton() const { return *add_; }
    QWidget& removalNote() const { return *removalNote_; }
    QLabel& errorLabel() const { return *error_; }
    QPushButton& revertButton() const { return *revert_; }
    QPushButton& applyButton() const { return *apply_; }

signals:
    // A read or a write has ended and the pane shows its outcome.
    void loadFinished();
    void applyFinished();

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    friend class Row;

    QWidget* buildProgress();
    QWidget* buildTable();
    QWidget* buildAddRow();
    QWidget* buildFooter();
    void refresh();
    void edited();

    static QCoro::Task<> runLoad(QPointer<LineManagerView> self, std::uint64_t generation, Driver driver);
    static QCoro::Task<> runApply(QPointer<LineManagerView> self, Driver driver);
    // Reads the driver's list until it is `expected` or the patience is spent; the last list read.
    static QCoro::Task<std::vector<LineSpec>> readApplied(Driver driver, std::vector<LineSpec> expected);

    Driver driver_;
    Theme::Metrics metrics_;
    LineManagerModel model_;
    // Bumped by every show and hide: a read started before answers only while it is current.
    std::uint64_t loadGeneration_ = 0;
    // A read ended while a write ran: what it got may predate the write, so the write's own read of
    // the applied list answers it.
    bool readDuringApply_ = false;

    QWidget* progress_ = nullptr;
    QWidget* table_ = nullptr;
    std::unique_ptr<KeyedChildren<std::int64_t, Row>> rows_;
    QWidget* addRow_ = nullptr;
    QPushButton* add_ = nullptr;
    QWidget* removalNote_ = nullptr;
    QLabel* error_ = nullptr;
    QPushButton* revert_ = nullptr;
    QPushButton* apply_ = nullptr;
};

// One line of the table: its number, name field, channel picker and delete button.
class LineManagerView::Row : public QWidget {
    Q_OBJECT

public:
    Row(LineManagerView& view, std::int64_t number);

    void display(const LineSpec& line, bool canDelete);

    QLabel& number() const { return *number_; }
    QLineEdit& name() const { return *name_; }
    QComboBox& channels() const { return *channels_; }
    GlyphButton& deleteButton() const { return *delete_; }

private:
    std::int64_t lineNumber_;
    std::vector<std::int64_t> choices_;
    QLabel* number_;
    QLineEdit* name_;
    QComboBox* channels_;
    GlyphButton* delete_;
};
