#include "TandrelApp/Shell/LineManagerModel.h"

#include <algorithm>
#include <set>

namespace {

void sortByNumber(std::vector<LineSpec>& lines) {
    std::ranges::stable_sort(lines, {}, &LineSpec::number);
}

} // namespace

LineManagerModel::State LineManagerModel::state() const {
    if (!loaded_) {
        return State::reading;
    }
    if (!editable_) {
        return State::unavailable;
    }
    return applying_ ? State::writing : State::editing;
}

void LineManagerModel::addLine() {
    std::set<std::int64_t> taken;
    for (const auto& line : lines_) {
        taken.insert(line.number);
    }
    std::int64_t number = 1;
    while (taken.contains(number)) {
        if (number == LineConfigurator::kMaxLineNumber) {
            return;
        }
        ++number;
    }
    lines_.push_back({.number = number, .channels = 2, .name = "Line " + std::to_string(number)});
    sortByNumber(lines_);
}

void LineManagerModel::removeLine(std::int64_t number) {
    std::erase_if(lines_, [number](const LineSpec& line) { return line.number == number; });
}

void LineManagerModel::setName(std::int64_t number, std::string name) {
    for (auto& line : lines_) {
        if (line.number == number) {
            line.name = name;
        }
    }
}

void LineManagerModel::setChannels(std::int64_t number, std::int64_t channels) {
    for (auto& line : lines_) {
        if (line.number == number) {
            line.channels = channels;
        }
    }
}

void LineManagerModel::revert() {
    lines_ = original_;
    error_.reset();
}

bool LineManagerModel::hasRemovals() const {
    return std::ranges::any_of(original_, [this](const LineSpec& old) {
        return std::ranges::none_of(lines_,
                                    [&old](const LineSpec& line) { return line.number == old.number; });
    });
}

bool LineManagerModel::canAdd() const {
    return static_cast<std::int64_t>(lines_.size()) < LineConfigurator::kMaxLines;
}

bool LineManagerModel::canDelete() const {
    return lines_.size() >= 2;
}

bool LineManagerModel::canRevert() const {
    return lines_ != original_;
}

bool LineManagerModel::canApply() const {
    return editable_ && !applying_ && lines_ != original_;
}

std::string LineManagerModel::applyTitle() const {
    return applying_ ? "適用中…" : "適用";
}

std::vector<std::int64_t> LineManagerModel::channelChoices(std::int64_t current) {
    std::vector<std::int64_t> choices(LineSpec::channelChoices.begin(), LineSpec::channelChoices.end());
    if (std::ranges::find(choices, current) == choices.end()) {
        choices.insert(std::ranges::upper_bound(choices, current), current);
    }
    return choices;
}

std::string LineManagerModel::channelTitle(std::int64_t channels) {
    return std::to_string(channels) + " ch";
}

void LineManagerModel::loadSucceeded(std::vector<LineSpec> lines) {
    sortByNumber(lines);
    lines_ = lines;
    original_ = std::move(lines);
    editable_ = true;
    loaded_ = true;
}

void LineManagerModel::loadFailed(std::string error) {
    error_ = std::move(error);
    loaded_ = true;
}

std::vector<LineSpec> LineManagerModel::beginApply() {
    applying_ = true;
    return lines_;
}

std::vector<LineSpec> LineManagerModel::asApplied(std::vector<LineSpec> written) {
    for (auto& line : written) {
        line.name = LineConfigurator::trimmingBlanks(line.name);
    }
    sortByNumber(written);
    return written;
}

void LineManagerModel::applySucceeded(std::vector<LineSpec> written,
                                      std::optional<std::vector<LineSpec>> reported, bool replaceEdits) {
    std::vector<LineSpec> current = reported ? std::move(*reported) : written;
    sortByNumber(current);
    if (replaceEdits || lines_ == written) {
        lines_ = current;
    }
    original_ = std::move(current);
    error_.reset();
    applying_ = false;
}

void LineManagerModel::applyFailed(std::string error) {
    error_ = std::move(error);
    applying_ = false;
}
