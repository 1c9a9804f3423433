#include "TandrelApp/Updater/Package/PayloadPlacement.h"

#include <cerrno>
#include <cstring>
#include <map>
#include <optional>

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include "TandrelApp/Updater/Package/FileDescriptor.h"
#include "TandrelApp/Updater/Package/SafeFiles.h"

namespace PayloadPlacement {

namespace {

using Type = UpdateArchive::Entry::Type;

[[noreturn]] void fail(const std::string& path, const std::string& reason) {
    throw Failure(path + ": " + reason);
}

std::string join(const std::vector<std::string>& parts, std::size_t count) {
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

// The target folder, walked one folder at a time without ever following a symlink.
class Target {
public:
    explicit Target(const std::string& path)
        : root_(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
        if (!root_) {
            fail(path, std::strerror(errno));
        }
    }

    // The folder made of the first `count` of `parts`; nothing when one of them does not exist.
    std::optional<FileDescriptor> folder(const std::vector<std::string>& parts, std::size_t count) const {
        FileDescriptor current(::openat(root_.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        for (std::size_t i = 0; i < count && current; ++i) {
            const int next =
                ::openat(current.get(), parts[i].c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (next >= 0) {
                current.reset(next);
                continue;
            }
            const int error = errno;
            if (error == ENOENT) {
                return std::nullopt;
            }
            struct stat status {};
            if (::fstatat(current.get(), parts[i].c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0 &&
                S_ISLNK(status.st_mode)) {
                fail(join(parts, i + 1), "すでにあるシンボリックリンクはたどりません");
            }
            fail(join(parts, i + 1),
                 error == ENOTDIR || error == ELOOP ? "フォルダではありません" : std::strerror(error));
        }
        if (!current) {
            fail(join(parts, count), std::strerror(errno));
        }
        return current;
    }

    FileDescriptor existingFolder(const std::vector<std::string>& parts, std::size_t count) const {
        auto found = folder(parts, count);
        if (!found) {
            fail(join(parts, count), "フォルダがなくなりました");
        }
        return std::move(*found);
    }

private:
    FileDescriptor root_;
};

struct Step {
    const Item* item = nullptr;
    std::vector<std::string> parts;
    unsigned mode = 0;
    // Files and symlinks: one is already there and is swapped out.
    bool replaces = false;
    std::string temporary;
    bool made = false;
    bool swapped = false;

    const std::string& leaf() const { return parts.back(); }
    std::size_t depth() const { return parts.size() - 1; }
    std::string path() const { return join(parts, parts.size()); }
};

class Placement {
public:
    Placement(const std::vector<Item>& items, const std::string& target)
        : target_(target) {
        for (const Item& item : items) {
            plan(item);
        }
    }

    void apply(const std::function<void()>& beforeSwap) {
        try {
            for (Step& folder : folders_) {
                makeFolder(folder);
            }
            for (Step& file : files_) {
                write(file);
            }
            for (Step& file : files_) {
                if (beforeSwap) {
                    beforeSwap();
                }
                swap(file);
            }
        } catch (const std::exception& failure) {
            const bool undone = undo();
            throw Failure(std::string(failure.what()) +
                          (undone ? "" : "（元に戻せなかったところがあります）"));
        }
        // The replaced files now have the temporary names.
        for (const Step& file : files_) {
            if (file.replaces) {
                const auto parent = target_.folder(file.parts, file.depth());
                if (parent) {
                    ::unlinkat(parent->get(), file.temporary.c_str(), 0);
                }
            }
        }
    }

private:
    void plan(const Item& item) {
        Step step{&item, UpdateArchive::components(item.entry.path), 0, false, {}, false, false};
        for (std::size_t depth = 1; depth < step.parts.size(); ++depth) {
            const std::string folder = join(step.parts, depth);
            if (knownFolders_.contains(folder)) {
                continue;
            }
            if (target_.folder(step.parts, depth)) {
                knownFolders_.emplace(folder, existing);
            } else {
                planFolder({step.parts.begin(), step.parts.begin() + std::ptrdiff_t(depth)}, 0755);
            }
        }
        const auto parent = target_.folder(step.parts, step.depth());
        struct stat status {};
        bool exists = false;
        if (parent) {
            exists = ::fstatat(parent->get(), step.leaf().c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0;
            if (!exists && errno != ENOENT) {
                fail(step.path(), std::strerror(errno));
            }
        }
        if (exists && S_ISLNK(status.st_mode) && item.entry.type == Type::folder) {
            fail(step.path(), "すでにあるシンボリックリンクはたどりません");
        }
        if (item.entry.type == Type::folder) {
            if (exists && !S_ISDIR(status.st_mode)) {
                fail(step.path(), "フォルダの場所にフォルダでないものがあります");
            }
            if (!exists) {
                planFolder(step.parts, item.entry.mode);
            }
            return;
        }
        if (exists && S_ISDIR(status.st_mode)) {
            fail(step.path(), "フォルダをファイルで置き換えることはしません");
        }
        if (exists && !S_ISREG(status.st_mode) && !S_ISLNK(status.st_mode)) {
            fail(step.path(), "特殊なファイルは置き換えません");
        }
        step.mode = item.entry.mode & 0755;
        step.replaces = exists;
        files_.push_back(std::move(step));
    }

    // A folder to make; one named by an entry after a file inside it takes that entry's permissions.
    void planFolder(const std::vector<std::string>& parts, unsigned mode) {
        const std::string path = join(parts, parts.size());
        const unsigned permissions = (mode & 0755) | 0700;
        if (const auto known = knownFolders_.find(path); known != knownFolders_.end()) {
            if (known->second != existing) {
                folders_[known->second].mode = permissions;
            }
            return;
        }
        knownFolders_.emplace(path, folders_.size());
        folders_.push_back({nullptr, parts, permissions, false, {}, false, false});
    }

    void makeFolder(Step& folder) {
        const FileDescriptor parent = target_.existingFolder(folder.parts, folder.depth());
        if (::mkdirat(parent.get(), folder.leaf().c_str(), 0700) != 0) {
            fail(folder.path(), std::strerror(errno));
        }
        folder.made = true;
        const FileDescriptor made(
            ::openat(parent.get(), folder.leaf().c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!made || ::fchmod(made.get(), folder.mode) != 0) {
            fail(folder.path(), std::strerror(errno));
        }
    }

    void write(Step& file) {
        const FileDescriptor parent = target_.existingFolder(file.parts, file.depth());
        file.temporary = temporaryName();
        const UpdateArchive::Entry& entry = file.item->entry;
        if (entry.type == Type::symlink) {
            if (::symlinkat(entry.linkTarget.c_str(), parent.get(), file.temporary.c_str()) != 0) {
                fail(file.path(), std::strerror(errno));
            }
            file.made = true;
            return;
        }
        const FileDescriptor out(::openat(parent.get(), file.temporary.c_str(),
                                          O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (!out) {
            fail(file.path(), std::strerror(errno));
        }
        file.made = true;
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

    void swap(Step& file) {
        const FileDescriptor parent = target_.existingFolder(file.parts, file.depth());
        const unsigned flags = file.replaces ? RENAME_EXCHANGE : RENAME_NOREPLACE;
        if (::renameat2(parent.get(), file.temporary.c_str(), parent.get(), file.leaf().c_str(), flags) !=
            0) {
            fail(file.path(), std::strerror(errno));
        }
        file.swapped = true;
    }

    // Takes back every step, newest first; false when one of them could not be taken back.
    bool undo() noexcept {
        bool undone = true;
        for (auto file = files_.rbegin(); file != files_.rend(); ++file) {
            undone = undoFile(*file) && undone;
        }
        for (auto folder = folders_.rbegin(); folder != folders_.rend(); ++folder) {
            if (!folder->made) {
                continue;
            }
            const auto parent = safeFolder(*folder);
            undone = parent && ::unlinkat(parent->get(), folder->leaf().c_str(), AT_REMOVEDIR) == 0 && undone;
        }
        return undone;
    }

    bool undoFile(const Step& file) noexcept {
        if (!file.made) {
            return true;
        }
        const auto parent = safeFolder(file);
        if (!parent) {
            return false;
        }
        const int fd = parent->get();
        if (file.swapped && file.replaces &&
            ::renameat2(fd, file.temporary.c_str(), fd, file.leaf().c_str(), RENAME_EXCHANGE) != 0) {
            return false;
        }
        const char* made = file.swapped && !file.replaces ? file.leaf().c_str() : file.temporary.c_str();
        return ::unlinkat(fd, made, 0) == 0;
    }

    std::optional<FileDescriptor> safeFolder(const Step& step) const noexcept {
        try {
            return target_.folder(step.parts, step.depth());
        } catch (const std::exception&) {
            return std::nullopt;
        }
    }

    static constexpr std::size_t existing = SIZE_MAX;

    Target target_;
    // The folders that exist already (`existing`) or are made (their index into folders_), by path.
    std::map<std::string, std::size_t> knownFolders_;
    std::vector<Step> folders_;
    std::vector<Step> files_;
};

} // namespace

void place(const std::vector<Item>& items, const std::string& target,
           const std::function<void()>& beforeSwap) {
    Placement(items, target).apply(beforeSwap);
}

} // namespace PayloadPlacement
