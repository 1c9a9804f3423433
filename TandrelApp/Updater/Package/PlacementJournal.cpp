#include "TandrelApp/Updater/Package/PlacementJournal.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <string_view>

#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include "TandrelApp/Updater/Package/FileDescriptor.h"
#include "TandrelApp/Updater/Package/SafeFiles.h"
#include "TandrelApp/Updater/Package/UpdateArchive.h"

namespace PlacementJournal {

namespace {

constexpr std::string_view heading = "tandrel-install journal 1";
// Names are bounded by the payload's bounds; the journal of the largest payload stays well below this.
constexpr std::uint64_t maximumSize = 2ull << 30;

// Each phase's name in the journal, in the order of the phases.
constexpr std::array<std::string_view, 3> phaseNames{"preparing", "swapping", "undoing"};

// Names may hold any byte but NUL and "/": the separators and "%" are written as %XX.
std::string encoded(std::string_view name) {
    static constexpr char hex[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(name.size());
    for (const char byte : name) {
        const auto value = static_cast<unsigned char>(byte);
        if (value <= ' ' || value == '%' || value == 0x7F) {
            text += '%';
            text += hex[value >> 4];
            text += hex[value & 0xF];
        } else {
            text += byte;
        }
    }
    return text;
}

[[noreturn]] void unreadable(const std::string& path, const std::string& reason) {
    throw SafeFiles::Failure(path + ": インストールの記録を読めません（" + reason + "）");
}

class Parser {
public:
    Parser(const std::string& path, std::string_view text)
        : path_(path)
        , text_(text) {}

    // The next line's fields; false at the end.
    bool next(std::vector<std::string_view>& fields) {
        if (text_.empty()) {
            return false;
        }
        const std::size_t end = text_.find('\n');
        if (end == std::string_view::npos) {
            fail("最後の行が途中で終わっています");
        }
        std::string_view line = text_.substr(0, end);
        text_.remove_prefix(end + 1);
        fields.clear();
        while (!line.empty()) {
            const std::size_t space = std::min(line.find(' '), line.size());
            fields.push_back(line.substr(0, space));
            line.remove_prefix(std::min(space + 1, line.size()));
        }
        return true;
    }

    std::string name(std::string_view text) const {
        std::string name;
        for (std::size_t i = 0; i < text.size(); ++i) {
            if (text[i] != '%') {
                name += text[i];
                continue;
            }
            unsigned value = 0;
            if (i + 2 >= text.size() ||
                std::from_chars(text.data() + i + 1, text.data() + i + 3, value, 16).ptr !=
                    text.data() + i + 3) {
                fail("名前が壊れています");
            }
            name += char(value);
            i += 2;
        }
        return name;
    }

    // A path below the target, in the form the payload's names have.
    std::string relativePath(std::string_view text) const {
        std::string path = name(text);
        for (const std::string& part : UpdateArchive::components(path)) {
            if (part.empty() || part == "." || part == ".." || part.find('\0') != std::string::npos) {
                fail("名前が壊れています");
            }
        }
        return path;
    }

    std::uint64_t number(std::string_view text) const {
        std::uint64_t value = 0;
        if (text.empty() ||
            std::from_chars(text.data(), text.data() + text.size(), value).ptr != text.data() + text.size()) {
            fail("数が壊れています");
        }
        return value;
    }

    [[noreturn]] void fail(const std::string& reason) const { unreadable(path_, reason); }

private:
    const std::string& path_;
    std::string_view text_;
};

std::string folderOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

bool syncFolderOf(const std::string& path) {
    const FileDescriptor folder(::open(folderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return folder && ::fsync(folder.get()) == 0;
}

} // namespace

void write(const std::string& path, const Record& record) {
    std::string text = std::string(heading) + "\nphase " +
                       std::string(phaseNames[std::size_t(record.phase)]) + "\ntarget " +
                       encoded(record.target) + "\n";
    for (const std::string& folder : record.folders) {
        text += "folder " + encoded(folder) + "\n";
    }
    for (const File& file : record.files) {
        text += "file " + encoded(file.path) + " " + encoded(file.temporary) + " " +
                (file.replaces ? "1" : "0") + " " + std::to_string(file.device) + " " +
                std::to_string(file.inode) + "\n";
    }
    text += "end\n";

    const std::string fresh = path + ".new";
    const auto fail = [&fresh](int error) {
        ::unlink(fresh.c_str());
        throw SafeFiles::Failure(fresh + ": インストールの記録を書けません（" + std::strerror(error) + "）");
    };
    {
        const FileDescriptor file(
            ::open(fresh.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (!file) {
            fail(errno);
        }
        if (!writeAll(file.get(), text) || ::fsync(file.get()) != 0) {
            fail(errno);
        }
    }
    if (::rename(fresh.c_str(), path.c_str()) != 0) {
        fail(errno);
    }
    if (!syncFolderOf(path)) {
        throw SafeFiles::Failure(path + ": インストールの記録を書けません（" + std::strerror(errno) + "）");
    }
}

std::optional<Record> read(const std::string& path) {
    if (::access(path.c_str(), F_OK) != 0 && errno == ENOENT) {
        return std::nullopt;
    }
    const std::string text = SafeFiles::readRegularFile(path, maximumSize);
    Parser parser(path, text);
    std::vector<std::string_view> fields;
    if (text.rfind(std::string(heading) + "\n", 0) != 0 || !parser.next(fields)) {
        parser.fail("見出しがありません");
    }
    Record record;
    bool ended = false;
    bool hasPhase = false;
    while (parser.next(fields)) {
        if (ended || fields.empty()) {
            parser.fail("余分な行があります");
        }
        const std::string_view kind = fields[0];
        if (kind == "phase" && fields.size() == 2) {
            hasPhase = true;
            const auto found = std::find(phaseNames.begin(), phaseNames.end(), fields[1]);
            if (found == phaseNames.end()) {
                parser.fail("段階が壊れています");
            }
            record.phase = Phase(found - phaseNames.begin());
        } else if (kind == "target" && fields.size() == 2) {
            record.target = parser.name(fields[1]);
        } else if (kind == "folder" && fields.size() == 2) {
            record.folders.push_back(parser.relativePath(fields[1]));
        } else if (kind == "file" && fields.size() == 6) {
            File file{parser.relativePath(fields[1]), parser.name(fields[2]), fields[3] == "1",
                      parser.number(fields[4]), parser.number(fields[5])};
            if (file.temporary.rfind(".tandrel-", 0) != 0 || file.temporary.find('/') != std::string::npos ||
                file.temporary.find('\0') != std::string::npos || (fields[3] != "0" && fields[3] != "1")) {
                parser.fail("一時ファイルの名前が壊れています");
            }
            record.files.push_back(std::move(file));
        } else if (kind == "end" && fields.size() == 1) {
            ended = true;
        } else {
            parser.fail("読めない行があります");
        }
    }
    if (!ended || !hasPhase || record.target.empty() || record.target.front() != '/') {
        parser.fail("途中で終わっています");
    }
    return record;
}

bool remove(const std::string& path) noexcept {
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
        return false;
    }
    return syncFolderOf(path);
}

} // namespace PlacementJournal
