#include "TandrelApp/Mixer/EditableNumberModel.h"

void EditableNumberModel::begin(std::string editingText) {
    draft_ = std::move(editingText);
    invalid_ = false;
    editing_ = true;
}

void EditableNumberModel::setDraft(std::string draft) {
    draft_ = std::move(draft);
    invalid_ = false;
}

EditableNumberModel::CommitResult EditableNumberModel::commit(const Parse& parse, const Commit& commit,
                                                              const Beep& beep) {
    const std::optional<float> value = parse ? parse(draft_) : std::nullopt;
    if (!value) {
        invalid_ = true;
        if (beep) {
            beep();
        }
        return CommitResult::refused;
    }
    // Closed before the caller hears of the value, so a caller that redraws at once sees the readout.
    editing_ = false;
    if (commit) {
        commit(*value);
    }
    return CommitResult::committed;
}

void EditableNumberModel::cancel() {
    editing_ = false;
}
