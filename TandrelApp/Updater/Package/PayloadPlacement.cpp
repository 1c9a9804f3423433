#include "TandrelApp/Updater/Package/PayloadPlacement.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include "TandrelApp/Updater/Package/FileDescriptor.h"
#include "TandrelApp/Updater/Package/PlacementJournal.h"
#include "TandrelApp/Updater/Package/SafeFiles.h"

namespace PayloadPlacement {

namespace {

using Type = UpdateArchive::Entry::Type;
using Parts = std::vector<std::string>;
using PlacementJournal::Phase;

[[noreturn]] void fail(const std::string& path, const std::string& reason) {
    throw Failure(path + ": " + reason);
}

std::string join(const Parts& parts, std::size_t count) {
    std::string path;
    for (std::size_t i = 0; i < count; ++i) {
        path += (i == 0 ? "" : "/") + parts[i];
    }
    return path;
}

std::string temporaryName() {
    static constexpr char hex[] = "0123456789abcdef";
    std::string name = ".tandrel-";
    for (const char byte : SafeFiles::randomBytes(8)) {
        name += hex[static_cast<unsigned char>(byte) >> 4];
        name += hex[static_cast<unsigned char>(byte) & 0xF];
    }
    return name;
}

// The target folder, walked one folder at a time without ever following a symlink. The folders on the way
// to the last one asked for stay open, so that asking in the order of the names opens each folder once.
class Target {
public:
    explicit Target(const std::string& path)
        : root_(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
        if (!root_) {
            fail(path, std::strerror(errno));
        }
    }

    // The folder made of the first `count` of `parts`, open until the next call; nothing when one of them
    // does not exist.
    std::optional<int> folder(const Parts& parts, std::size_t count) {
        std::size_t common = 0;
        while (common < count && common < names_.size() && names_[common] == parts[common]) {
            ++common;
        }
        if (common < count) {
            names_.resize(common);
            open_.resize(common);
        }
        for (std::size_t i = names_.size(); i < count; ++i) {
            const int current = i == 0 ? root_.get() : open_.back().get();
            const int next =
                ::openat(current, parts[i].c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (next >= 0) {
                names_.push_back(parts[i]);
                open_.emplace_back(next);
                continue;
            }
            const int error = errno;
            if (error == ENOENT) {
                return std::nullopt;
            }
            struct stat status {};
            if (::fstatat(current, parts[i].c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0 &&
                S_ISLNK(status.st_mode)) {
                fail(join(parts, i + 1), "すでにあるシンボリックリンクはたどりません");
            }
            fail(join(parts, i + 1),
                 error == ENOTDIR || error == ELOOP ? "フォルダではありません" : std::strerror(error));
        }
        return count == 0 ? root_.get() : open_[count - 1].get();
    }

    int existingFolder(const Parts& parts, std::size_t count) {
        const auto found = folder(parts, count);
        if (!found) {
            fail(join(parts, count), "フォルダがなくなりました");
        }
        return *found;
    }

private:
    FileDescriptor root_;
    Parts names_;
    std::vector<FileDescriptor> open_;
};

struct FolderStep {
    Parts parts;
    unsigned mode = 0;
    bool made = false;

    const std::string& leaf() const { return parts.back(); }
    std::size_t depth() const { return parts.size() - 1; }
};

struct FileStep {
    // None when the step was read back from a journal.
    const Item* item = nullptr;
    Parts parts;
    unsigned mode = 0;
    // A file or symlink is already there and is swapped out.
    bool replaces = false;
    std::string temporary;
    // The new file, once written.
    std::uint64_t device = 0;
    std::uint64_t inode = 0;

    const std::string& leaf() const { return parts.back(); }
    std::size_t depth() const { return parts.size() - 1; }
    std::string path() const { return join(parts, parts.size()); }
};

// What a name in the target is, seen from a file step.
enum class Found { absent, ours, other, folder };

// A file's temporary was removed by someone else, and its place holds something else.
class Gone : public Failure {
public:
    explicit Gone(const std::string& path)
        : Failure(path + ": 書いたファイルがなくなりました")
        , path(path) {}
    std::string path;
};

// Runs `work`, adding what it throws to `problems`.
void attempt(std::vector<std::string>& problems, const std::function<void()>& work) noexcept {
    try {
        work();
    } catch (const std::exception& failure) {
        problems.emplace_back(failure.what());
    } catch (...) {
        problems.emplace_back("?");
    }
}

class Placement {
public:
    Placement(const std::string& target, const std::string& journal, const StepHook& hook)
        : target_(target)
        , journal_(journal)
        , hook_(hook) {
        record_.target = target;
    }

    void plan(const std::vector<Item>& items) {
        std::vector<std::pair<Parts, const Item*>> sorted;
        sorted.reserve(items.size());
        for (const Item& item : items) {
            sorted.emplace_back(UpdateArchive::components(item.entry.path), &item);
        }
        // In the order of the names, a folder comes before what it holds and what a folder holds comes
        // together.
        std::sort(sorted.begin(), sorted.end(),
                  [](const auto& a, const auto& b) { return a.first < b.first; });
        Parts known;
        for (auto& [parts, item] : sorted) {
            plan(*item, std::move(parts), known);
        }
        collectFoldersToSync();
    }

    // The steps a journal records, to be completed or undone.
    void restore(const PlacementJournal::Record& record) {
        record_ = record;
        for (const std::string& folder : record.folders) {
            folders_.push_back({UpdateArchive::components(folder), 0, true});
        }
        for (const PlacementJournal::File& file : record.files) {
            files_.push_back({nullptr, UpdateArchive::components(file.path), 0, file.replaces, file.temporary,
                              file.device, file.inode});
        }
        collectFoldersToSync();
    }

    void apply() {
        try {
            for (FolderStep& folder : folders_) {
                makeFolder(folder);
            }
            for (FileStep& file : files_) {
                write(file);
            }
            syncFolders();
            record(Phase::swapping);
            for (FileStep& file : files_) {
                swapIn(file);
            }
        } catch (const std::exception& failure) {
            if (record_.phase == Phase::swapping) {
                try {
                    record(Phase::undoing);
                } catch (const std::exception&) {
                    // The journal still says the files were ready: the next run completes them instead.
                }
            }
            const bool undone = takeBackAll().empty();
            if (undone) {
                removeJournal();
            }
            throw Failure(std::string(failure.what()) +
                          (undone ? "" : "（元に戻せなかったところがあります）"));
        }
        // Every file is in place: nothing from here on makes the install a failure. What cannot be tidied
        // now stays in the journal, and the next run tidies it.
        try {
            syncFolders();
            bool tidy = true;
            for (FileStep& file : files_) {
                tidy = tryStep([&] { removeReplaced(file); }) && tidy;
            }
            if (tidy) {
                removeJournal();
            }
        } catch (const std::exception&) {
        }
    }

    // The first journal entry, written before the target is changed.
    void begin() { record(Phase::preparing); }

    Recovery recover() {
        Recovery recovery;
        std::vector<std::string> problems;
        if (record_.phase == Phase::swapping) {
            recovery.outcome = Recovery::Outcome::completed;
            for (FileStep& file : files_) {
                try {
                    swapIn(file);
                } catch (const Gone& gone) {
                    recovery.leftAlone.push_back(gone.path);
                } catch (const std::exception& failure) {
                    problems.emplace_back(failure.what());
                }
            }
            for (FileStep& file : files_) {
                attempt(problems, [&] { removeReplaced(file); });
            }
            attempt(problems, [&] { syncFolders(); });
        } else {
            recovery.outcome = Recovery::Outcome::undone;
            problems = takeBackAll();
        }
        if (!problems.empty()) {
            throw Failure(
                "前回中断したインストールを片付けられません: " + problems.front() +
                (problems.size() > 1 ? "（ほか " + std::to_string(problems.size() - 1) + " 件）" : ""));
        }
        if (!removeJournal()) {
            throw Failure(journal_ + ": " + std::strerror(errno));
        }
        return recovery;
    }

private:
    void step(Step kind) {
        if (hook_) {
            hook_(kind);
        }
    }

    static bool tryStep(const std::function<void()>& work) noexcept {
        std::vector<std::string> problems;
        attempt(problems, work);
        return problems.empty();
    }

    void record(Phase phase) {
        record_.phase = phase;
        record_.folders.clear();
        record_.files.clear();
        for (const FolderStep& folder : folders_) {
            record_.folders.push_back(join(folder.parts, folder.parts.size()));
        }
        for (const FileStep& file : files_) {
            record_.files.push_back({file.path(), file.temporary, file.replaces, file.device, file.inode});
        }
        step(Step::journal);
        try {
            PlacementJournal::write(journal_, record_);
        } catch (const SafeFiles::Failure& failure) {
            throw Failure(failure.what());
        }
    }

    bool removeJournal() noexcept {
        return tryStep([this] { step(Step::journal); }) && PlacementJournal::remove(journal_);
    }

    // `parts`, after `known` (the folders of the step before, which exist or are planned already).
    void plan(const Item& item, Parts parts, Parts& known) {
        const bool isFolder = item.entry.type == Type::folder;
        std::size_t common = 0;
        while (common < known.size() && common + 1 < parts.size() && known[common] == parts[common]) {
            ++common;
        }
        for (std::size_t depth = common + 1; depth < parts.size(); ++depth) {
            if (!target_.folder(parts, depth)) {
                folders_.push_back(
                    {Parts(parts.begin(), parts.begin() + std::ptrdiff_t(depth)), 0755 | 0700});
            }
        }
        known.assign(parts.begin(), parts.end() - (isFolder ? 0 : 1));

        FileStep file{&item, std::move(parts), 0, false, {}, 0, 0};
        const auto parent = target_.folder(file.parts, file.depth());
        struct stat status {};
        bool exists = false;
        if (parent) {
            exists = ::fstatat(*parent, file.leaf().c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0;
            if (!exists && errno != ENOENT) {
                fail(file.path(), std::strerror(errno));
            }
        }
        if (exists && S_ISLNK(status.st_mode) && isFolder) {
            fail(file.path(), "すでにあるシンボリックリンクはたどりません");
        }
        if (isFolder) {
            if (exists && !S_ISDIR(status.st_mode)) {
                fail(file.path(), "フォルダの場所にフォルダでないものがあります");
            }
            if (!exists) {
                folders_.push_back({std::move(file.parts), (item.entry.mode & 0755) | 0700});
            }
            return;
        }
        if (exists && S_ISDIR(status.st_mode)) {
            fail(file.path(), "フォルダをファイルで置き換えることはしません");
        }
        if (exists && !S_ISREG(status.st_mode) && !S_ISLNK(status.st_mode)) {
            fail(file.path(), "特殊なファイルは置き換えません");
        }
        file.mode = item.entry.mode & 0755;
        file.replaces = exists;
        file.temporary = temporaryName();
        files_.push_back(std::move(file));
    }

    // The folders whose entries placement changes: where the files go and where new folders are made.
    void collectFoldersToSync() {
        for (const FileStep& file : files_) {
            toSync_.emplace_back(file.parts.begin(), file.parts.end() - 1);
        }
        for (const FolderStep& folder : folders_) {
            toSync_.emplace_back(folder.parts.begin(), folder.parts.end() - 1);
        }
        std::sort(toSync_.begin(), toSync_.end());
        toSync_.erase(std::unique(toSync_.begin(), toSync_.end()), toSync_.end());
    }

    void syncFolders() {
        for (const Parts& parts : toSync_) {
            if (const auto folder = target_.folder(parts, parts.size())) {
                step(Step::syncFolder);
                if (::fsync(*folder) != 0) {
                    fail(join(parts, parts.size()), std::strerror(errno));
                }
            }
        }
    }

    void makeFolder(FolderStep& folder) {
        const int parent = target_.existingFolder(folder.parts, folder.depth());
        step(Step::makeFolder);
        if (::mkdirat(parent, folder.leaf().c_str(), 0700) != 0) {
            fail(join(folder.parts, folder.parts.size()), std::strerror(errno));
        }
        folder.made = true;
        const FileDescriptor made(
            ::openat(parent, folder.leaf().c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!made || ::fchmod(made.get(), folder.mode) != 0) {
            fail(join(folder.parts, folder.parts.size()), std::strerror(errno));
        }
    }

    static void identify(FileStep& file, const struct stat& status) {
        file.device = std::uint64_t(status.st_dev);
        file.inode = std::uint64_t(status.st_ino);
    }

    void write(FileStep& file) {
        const int parent = target_.existingFolder(file.parts, file.depth());
        const UpdateArchive::Entry& entry = file.item->entry;
        struct stat status {};
        step(Step::writeFile);
        if (entry.type == Type::symlink) {
            if (::symlinkat(entry.linkTarget.c_str(), parent, file.temporary.c_str()) != 0 ||
                ::fstatat(parent, file.temporary.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
                fail(file.path(), std::strerror(errno));
            }
            identify(file, status);
            return;
        }
        const FileDescriptor out(::openat(parent, file.temporary.c_str(),
                                          O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (!out || ::fstat(out.get(), &status) != 0) {
            fail(file.path(), std::strerror(errno));
        }
        identify(file, status);
        const FileDescriptor in(::open(file.item->staged.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
        if (!in) {
            fail(file.item->staged, std::strerror(errno));
        }
        char buffer[65536];
        ssize_t count = 0;
        while ((count = readSome(in.get(), buffer, sizeof buffer)) > 0) {
            if (!writeAll(out.get(), std::string_view(buffer, std::size_t(count)))) {
                fail(file.path(), std::strerror(errno));
            }
        }
        if (count < 0) {
            fail(file.item->staged, std::strerror(errno));
        }
        if (::fchmod(out.get(), file.mode) != 0 || ::fsync(out.get()) != 0) {
            fail(file.path(), std::strerror(errno));
        }
    }

    static Found find(int folder, const std::string& name, const FileStep& file) {
        struct stat status {};
        if (::fstatat(folder, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno == ENOENT) {
                return Found::absent;
            }
            fail(file.path(), std::strerror(errno));
        }
        if (file.inode != 0 && std::uint64_t(status.st_dev) == file.device &&
            std::uint64_t(status.st_ino) == file.inode) {
            return Found::ours;
        }
        return S_ISDIR(status.st_mode) ? Found::folder : Found::other;
    }

    void rename(int folder, const std::string& from, const std::string& to, unsigned flags,
                const FileStep& file) {
        if (::renameat2(folder, from.c_str(), folder, to.c_str(), flags) != 0) {
            fail(file.path(), std::strerror(errno));
        }
    }

    void unlink(int folder, const std::string& name, const FileStep& file) {
        if (::unlinkat(folder, name.c_str(), 0) != 0 && errno != ENOENT) {
            fail(file.path(), std::strerror(errno));
        }
    }

    // Puts the new file in its place, the one there before then under the temporary name; nothing when it
    // is in place already.
    void swapIn(const FileStep& file) {
        const int parent = target_.existingFolder(file.parts, file.depth());
        const Found leaf = find(parent, file.leaf(), file);
        if (leaf == Found::ours) {
            return;
        }
        if (find(parent, file.temporary, file) != Found::ours) {
            throw Gone(file.path());
        }
        if (leaf == Found::folder) {
            fail(file.path(), "フォルダをファイルで置き換えることはしません");
        }
        step(Step::swap);
        rename(parent, file.temporary, file.leaf(),
               leaf == Found::absent ? RENAME_NOREPLACE : RENAME_EXCHANGE, file);
    }

    // Deletes what the new file replaced, which has the temporary name once it is swapped in.
    void removeReplaced(const FileStep& file) {
        const auto parent = target_.folder(file.parts, file.depth());
        if (parent && find(*parent, file.leaf(), file) == Found::ours &&
            find(*parent, file.temporary, file) == Found::other) {
            step(Step::removeReplaced);
            unlink(*parent, file.temporary, file);
        }
    }

    // Puts back what the file replaced and deletes what was written for it.
    void takeBack(const FileStep& file) {
        const auto parent = target_.folder(file.parts, file.depth());
        if (!parent) {
            return;
        }
        Found temporary = find(*parent, file.temporary, file);
        if (find(*parent, file.leaf(), file) == Found::ours) {
            step(Step::undo);
            if (!file.replaces) {
                unlink(*parent, file.leaf(), file);
            } else if (temporary == Found::absent) {
                fail(file.path(), "置き換えたファイルがなくなっています");
            } else {
                rename(*parent, file.temporary, file.leaf(), RENAME_EXCHANGE, file);
                temporary = Found::ours;
            }
        }
        // A temporary of unknown identity was made before the journal could say which file it is, and its
        // name is ours alone.
        if (temporary == Found::ours || (temporary == Found::other && file.inode == 0)) {
            step(Step::undo);
            unlink(*parent, file.temporary, file);
        }
    }

    void removeFolder(const FolderStep& folder) {
        const auto parent = target_.folder(folder.parts, folder.depth());
        if (!parent) {
            return;
        }
        step(Step::undo);
        // A folder that someone filled meanwhile is theirs now and stays.
        if (::unlinkat(*parent, folder.leaf().c_str(), AT_REMOVEDIR) != 0 && errno != ENOENT &&
            errno != ENOTEMPTY && errno != EEXIST) {
            fail(join(folder.parts, folder.parts.size()), std::strerror(errno));
        }
    }

    // Takes back every step, newest first; what could not be taken back.
    std::vector<std::string> takeBackAll() noexcept {
        std::vector<std::string> problems;
        for (auto file = files_.rbegin(); file != files_.rend(); ++file) {
            attempt(problems, [&] { takeBack(*file); });
        }
        for (auto folder = folders_.rbegin(); folder != folders_.rend(); ++folder) {
            if (folder->made) {
                attempt(problems, [&] { removeFolder(*folder); });
            }
        }
        attempt(problems, [&] { syncFolders(); });
        return problems;
    }

    Target target_;
    std::string journal_;
    const StepHook& hook_;
    PlacementJournal::Record record_;
    // Parents before what they hold.
    std::vector<FolderStep> folders_;
    // In the order of their names.
    std::vector<FileStep> files_;
    std::vector<Parts> toSync_;
};

} // namespace

void place(const std::vector<Item>& items, const std::string& target, const std::string& journal,
           const StepHook& beforeStep) {
    Placement placement(target, journal, beforeStep);
    placement.plan(items);
    placement.begin();
    placement.apply();
}

Recovery recover(const std::string& journal, const StepHook& beforeStep) {
    std::optional<PlacementJournal::Record> record;
    try {
        record = PlacementJournal::read(journal);
    } catch (const SafeFiles::Failure& failure) {
        throw Failure(failure.what());
    }
    if (!record) {
        return {};
    }
    if (record->phase == Phase::swapping &&
        std::any_of(record->files.begin(), record->files.end(),
                    [](const PlacementJournal::File& file) { return file.inode == 0; })) {
        throw Failure(journal + ": インストールの記録が壊れています");
    }
    Placement placement(record->target, journal, beforeStep);
    placement.restore(*record);
    return placement.recover();
}

} // namespace PayloadPlacement
