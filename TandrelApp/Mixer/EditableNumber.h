// A numeric readout that turns into a small text field when clicked: the decibel readout of the volume
// control and the percent of a line's own volume. Return commits what the caller's parser accepts;
// what it refuses beeps and outlines the field in red; Escape, a click elsewhere or the loss of focus
// close the field without committing. The behaviour lives in EditableNumberModel; this widget paints
// the readout and the field and forwards their events. GUI thread only.
#pragma once

#include <functional>
#include <string>

#include <QLineEdit>
#include <QPointer>
#include <QWidget>

#include "TandrelApp/Mixer/EditableNumberModel.h"
#include "TandrelApp/Support/Theme.h"

class EditableNumber : public QWidget {
    Q_OBJECT

public:
    // What the caller shows; `width` is in points.
    struct Content {
        std::string text;
        std::string editingText;
        ColorRole color = ColorRole::primary;
        double width = 52;
        std::string help;
        bool operator==(const Content&) const = default;
    };

    explicit EditableNumber(Theme::Metrics metrics, QWidget* parent = nullptr);
    ~EditableNumber() override;

    // Refreshes what the readout shows; a field that is open keeps its draft.
    void setContent(const Content& content);
    void setParse(EditableNumberModel::Parse parse) { parse_ = std::move(parse); }
    void setOnCommit(EditableNumberModel::Commit onCommit) { onCommit_ = std::move(onCommit); }
    // The sound of a refused entry; the system's alert sound unless a test injects its own.
    void setBeep(EditableNumberModel::Beep beep) { beep_ = std::move(beep); }

    const Content& content() const { return content_; }
    const EditableNumberModel& model() const { return model_; }
    // The field, while it exists (tests type into it).
    QLineEdit* field() const;
    // The readout's area, which takes the click that opens the field.
    QWidget* readout() const;

    QSize sizeHint() const override;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    class Readout;
    class Field;

    void beginEditing();
    void commit();
    void cancel();
    void showState();

    Theme::Metrics metrics_;
    Content content_;
    EditableNumberModel model_;
    EditableNumberModel::Parse parse_;
    EditableNumberModel::Commit onCommit_;
    EditableNumberModel::Beep beep_;
    Readout* readout_;
    Field* field_;
    bool watchingClicks_ = false;
};
