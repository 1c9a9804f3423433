// The click-to-type number's behaviour without a widget: a readout that a click turns into a field
// holding a draft; Return parses the draft and commits it or, when it does not parse, beeps and marks
// the field invalid until the next keystroke; Escape and the loss of focus close the field without
// committing. The widget forwards its events here and shows the state.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

class EditableNumberModel {
public:
    // Text to number; no value when the text is not valid.
    using Parse = std::function<std::optional<float>(std::string_view)>;
    using Commit = std::function<void(float)>;
    using Beep = std::function<void()>;

    enum class CommitResult { committed, refused };

    bool editing() const { return editing_; }
    const std::string& draft() const { return draft_; }
    bool invalid() const { return invalid_; }

    // A click on the readout: the field opens on `editingText`, not marked invalid.
    void begin(std::string editingText);
    // The user changed the draft; any change clears the invalid mark.
    void setDraft(std::string draft);
    // Return: a draft that parses goes to `commit` and closes the field; one that does not marks the
    // field invalid, then beeps, and leaves the field open with the draft as it is.
    CommitResult commit(const Parse& parse, const Commit& commit, const Beep& beep);
    // Escape, or the field lost the focus: the field closes and the draft is dropped.
    void cancel();

private:
    bool editing_ = false;
    std::string draft_;
    bool invalid_ = false;
};
