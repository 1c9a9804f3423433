// What the lines pane does, free of widgets: the edited line list beside the one last read from or
// written to the driver, the numbering of new lines, which buttons are enabled, the pane's state and
// the error text it shows. LineManagerView shows it and runs the driver calls; tests drive it without a
// display or a driver.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "TandrelApp/Engine/LineConfigurator.h"

class LineManagerModel {
public:
    // reading: the first read runs; unavailable: it failed; editing: the table is shown; writing: a
    // write runs (the table stays usable).
    enum class State { reading, unavailable, editing, writing };

    static constexpr std::string_view explanation =
        "ラインは他のアプリ（Zoom、OBS、録音ソフトなど）から入力デバイスとして選べる仮想デバイスです。";
    static constexpr std::string_view loadingText = "ドライバから構成を読み込んでいます…";
    static constexpr std::string_view numberColumn = "番号";
    static constexpr std::string_view nameColumn = "名前";
    static constexpr std::string_view channelsColumn = "チャンネル";
    static constexpr std::string_view namePlaceholder = "名前";
    static constexpr std::string_view deleteHelp = "このラインを削除";
    static constexpr std::string_view addTitle = "ラインを追加";
    static constexpr std::string_view removalNote = "削除したラインを使っているアプリの音は止まります";
    static constexpr std::string_view revertTitle = "元に戻す";
    static constexpr std::string_view readLabel = "ライン構成の読み込み";
    static constexpr std::string_view writeLabel = "ライン構成の書き込み";
    // Time-out of each driver call, in seconds.
    static constexpr double callTimeout = 5.0;
    // The driver applies an accepted list on its own queue, a moment after the write returns: after a
    // write the pane reads the list again every `applyPoll` until the driver reports what was written,
    // for at most `applyPatience` seconds.
    static constexpr std::chrono::milliseconds applyPoll{20};
    static constexpr double applyPatience = 5.0;

    const std::vector<LineSpec>& lines() const { return lines_; }
    const std::vector<LineSpec>& original() const { return original_; }
    const std::optional<std::string>& error() const { return error_; }
    bool loaded() const { return loaded_; }
    bool editable() const { return editable_; }
    bool applying() const { return applying_; }
    State state() const;

    // ---- Edits of the list
    // Appends the lowest free number up to 99 as "Line <n>" with 2 channels, in number order; nothing
    // when every number is taken.
    void addLine();
    // Removes every line with that number.
    void removeLine(std::int64_t number);
    void setName(std::int64_t number, std::string name);
    void setChannels(std::int64_t number, std::int64_t channels);
    // Back to the list last read or written, without the error text.
    void revert();

    // ---- What the pane offers
    // A line number of `original` is missing from `lines` (numbers only: a number taken again by a new
    // line does not count).
    bool hasRemovals() const;
    bool canAdd() const;
    bool canDelete() const;
    bool canRevert() const;
    bool canApply() const;
    // "適用", or "適用中…" while a write runs.
    std::string applyTitle() const;
    // The channel counts a line's picker offers: the fixed choices, and the line's own count in its
    // place among them when it is none of them, so a count read from the driver is kept until changed.
    static std::vector<std::int64_t> channelChoices(std::int64_t current);
    // "8 ch".
    static std::string channelTitle(std::int64_t channels);

    // ---- The driver calls' outcomes
    // A read: the list read, sorted by number, replaces the edits; an earlier error text stays.
    void loadSucceeded(std::vector<LineSpec> lines);
    void loadFailed(std::string error);
    // A write starts with the list as it is now, which it returns; edits made meanwhile stay edits.
    std::vector<LineSpec> beginApply();
    // The list as the driver reports it once it has applied `written`: sorted by number, names trimmed.
    static std::vector<LineSpec> asApplied(std::vector<LineSpec> written);
    // A write the driver accepted, with the list it reported afterwards (none when that read failed:
    // `written` stands for it). That list becomes the one last read, and the edits too, unless the user
    // changed them during the write; a read asked for meanwhile (`replaceEdits`) replaces them as any
    // read does.
    void applySucceeded(std::vector<LineSpec> written, std::optional<std::vector<LineSpec>> reported,
                        bool replaceEdits = false);
    void applyFailed(std::string error);

private:
    std::vector<LineSpec> lines_;
    std::vector<LineSpec> original_;
    std::optional<std::string> error_;
    bool loaded_ = false;
    bool editable_ = false;
    bool applying_ = false;
};
