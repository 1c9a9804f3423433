#include "TandrelApp/Updater/Package/UpdateArchive.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstring>
#include <map>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include "TandrelApp/Updater/Package/FileDescriptor.h"
#include "TandrelApp/Updater/Package/SafeFiles.h"

namespace UpdateArchive {

namespace {

constexpr std::size_t blockSize = 512;
constexpr std::size_t maximumName = 4096;
constexpr std::size_t maximumComponent = 255;
// The kernel's own limit on the symlinks one lookup follows.
constexpr unsigned maximumLinkHops = 40;
// The bytes of names compared while the payload's links are followed, at most: the check stays quick
// whatever the links say.
constexpr std::uint64_t linkWork = 1ull << 28;
constexpr std::uint64_t maximumExtendedHeader = 65536;

[[noreturn]] void refuse(const std::string& reason) {
    throw Refused(reason);
}

class Stream {
public:
    virtual ~Stream() = default;
    // Up to `size` bytes; 0 at the end.
    virtual std::size_t read(char* buffer, std::size_t size) = 0;

    // Exactly `size` bytes unless the end comes first; the count read.
    std::size_t readFully(char* buffer, std::size_t size) {
        std::size_t done = 0;
        while (done < size) {
            const std::size_t got = read(buffer + done, size - done);
            if (got == 0) {
                break;
            }
            done += got;
        }
        return done;
    }
};

class FileStream final : public Stream {
public:
    explicit FileStream(int fd)
        : fd_(fd) {}

    std::size_t read(char* buffer, std::size_t size) override {
        const ssize_t got = readSome(fd_, buffer, size);
        if (got < 0) {
            refuse(std::string("アーカイブを読めません: ") + std::strerror(errno));
        }
        return std::size_t(got);
    }

private:
    int fd_;
};

class GzipStream final : public Stream {
public:
    explicit GzipStream(int fd) {
        const int own = ::dup(fd);
        file_ = own >= 0 ? gzdopen(own, "rb") : nullptr;
        if (file_ == nullptr) {
            if (own >= 0) {
                ::close(own);
            }
            refuse("アーカイブを読めません");
        }
    }
    ~GzipStream() override { gzclose(file_); }
    GzipStream(const GzipStream&) = delete;
    GzipStream& operator=(const GzipStream&) = delete;

    std::size_t read(char* buffer, std::size_t size) override {
        const int got = gzread(file_, buffer, unsigned(std::min<std::size_t>(size, INT_MAX)));
        if (got < 0) {
            int code = 0;
            refuse(std::string("アーカイブが壊れています（") + gzerror(file_, &code) + "）");
        }
        // zlib passes data that is not compressed through unchanged; a payload is always compressed.
        if (got > 0 && gzdirect(file_) != 0) {
            refuse("アーカイブが gzip で圧縮されていません");
        }
        return std::size_t(got);
    }

private:
    gzFile file_ = nullptr;
};

class EntryContents final : public Contents {
public:
    EntryContents(Stream& in, std::uint64_t size)
        : in_(in)
        , remaining_(size) {}

    std::size_t read(char* buffer, std::size_t size) override {
        const std::size_t wanted = std::size_t(std::min<std::uint64_t>(size, remaining_));
        if (wanted == 0) {
            return 0;
        }
        if (in_.readFully(buffer, wanted) != wanted) {
            refuse("アーカイブが途中で終わっています");
        }
        remaining_ -= wanted;
        return wanted;
    }

    void skipRest() {
        char scratch[65536];
        while (read(scratch, sizeof scratch) > 0) {
        }
    }

private:
    Stream& in_;
    std::uint64_t remaining_;
};

// A NUL-terminated field of a header, or all of it when it has no NUL.
std::string text(const char* field, std::size_t size) {
    return std::string(field, std::find(field, field + size, '\0'));
}

std::optional<std::uint64_t> decimal(std::string_view digits) {
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (digits.empty() || error != std::errc() || end != digits.data() + digits.size()) {
        return std::nullopt;
    }
    return value;
}

// An octal field (leading spaces, then digits up to a space or NUL), or a base-256 one as GNU tar writes
// large numbers.
std::optional<std::uint64_t> number(const char* field, std::size_t size) {
    const auto first = static_cast<unsigned char>(field[0]);
    std::uint64_t value = 0;
    if ((first & 0x80) != 0) {
        if (first == 0xFF) {
            return std::nullopt;
        }
        value = first & 0x7F;
        for (std::size_t i = 1; i < size; ++i) {
            if (value > (UINT64_MAX >> 8)) {
                return std::nullopt;
            }
            value = (value << 8) | static_cast<unsigned char>(field[i]);
        }
        return value;
    }
    std::size_t i = 0;
    while (i < size && field[i] == ' ') {
        ++i;
    }
    const std::size_t start = i;
    for (; i < size && field[i] >= '0' && field[i] <= '7'; ++i) {
        if (value > (UINT64_MAX >> 3)) {
            return std::nullopt;
        }
        value = value * 8 + std::uint64_t(field[i] - '0');
    }
    if (i == start || (i < size && field[i] != ' ' && field[i] != '\0')) {
        return std::nullopt;
    }
    return value;
}

bool isEnd(const char* header) {
    return std::all_of(header, header + blockSize, [](char byte) { return byte == '\0'; });
}

bool isTarHeader(const char* header) {
    const auto recorded = number(header + 148, 8);
    std::uint64_t sum = 0;
    std::int64_t signedSum = 0;
    for (std::size_t i = 0; i < blockSize; ++i) {
        const char byte = i >= 148 && i < 156 ? ' ' : header[i];
        sum += static_cast<unsigned char>(byte);
        signedSum += static_cast<signed char>(byte);
    }
    const bool ustar =
        std::memcmp(header + 257, "ustar", 5) == 0 && (header[262] == '\0' || header[262] == ' ');
    return ustar && recorded && (*recorded == sum || std::int64_t(*recorded) == signedSum);
}

// Relative names as tar writes them, "./" in front and "/" behind taken away; the top is "".
std::string normalized(std::string name) {
    while (name.size() > 1 && name.back() == '/') {
        name.pop_back();
    }
    while (name.rfind("./", 0) == 0) {
        name.erase(0, 2);
    }
    return name == "." ? std::string() : name;
}

// A name as it can be shown: a NUL byte written as "\0".
std::string shown(const std::string& name) {
    std::string text;
    for (const char byte : name) {
        text += byte == '\0' ? std::string("\\0") : std::string(1, byte);
    }
    return text;
}

// Each name is checked in the form placement hands it to the file system, one C string a component: a NUL
// would cut it short there.
void checkNoNul(const std::string& name) {
    if (name.find('\0') != std::string::npos) {
        refuse(shown(name) + ": 名前に NUL 文字があるものは受け付けません");
    }
}

void checkName(const std::string& path) {
    checkNoNul(path);
    if (path.size() > maximumName) {
        refuse(path.substr(0, 64) + "…: 名前が長すぎます");
    }
    if (path.front() == '/') {
        refuse(path + ": 絶対パスの名前は受け付けません");
    }
    const std::vector<std::string> parts = components(path);
    if (parts.size() > maximumDepth) {
        refuse(path.substr(0, 64) + "…: フォルダが深すぎます（上限 " + std::to_string(maximumDepth) + "）");
    }
    for (const std::string& part : parts) {
        if (part.empty() || part == "." || part == "..") {
            refuse(path + ": 名前に「.」「..」や空の部分があるものは受け付けません");
        }
        if (part.size() > maximumComponent) {
            refuse(path.substr(0, 64) + "…: 名前が長すぎます");
        }
    }
}

class Reader {
public:
    Reader(Stream& in, const Limits& limits, bool payload)
        : in_(in)
        , limits_(limits)
        , payload_(payload) {}

    std::optional<ReleaseManifest::Manifest> run(const Handler& handler) {
        bool sawHeader = false;
        for (;;) {
            char header[blockSize];
            const std::size_t got = in_.readFully(header, blockSize);
            if (got < blockSize && !sawHeader) {
                refuse("tar アーカイブではありません");
            }
            if (got < blockSize) {
                refuse("アーカイブが途中で終わっています");
            }
            if (isEnd(header)) {
                break;
            }
            if (!isTarHeader(header)) {
                refuse(sawHeader ? "アーカイブが壊れています" : "tar アーカイブではありません");
            }
            sawHeader = true;
            readMember(header, handler);
        }
        if (pending_.name || pending_.link || pending_.size) {
            refuse("アーカイブが壊れています");
        }
        checkLinks();
        return manifest_;
    }

private:
    struct Known {
        Entry::Type type;
        // A folder only named as the folder of another entry.
        bool implied;
    };
    struct Link {
        enum class State { unvisited, resolving, resolved, refused };
        std::string target;
        State state = State::unvisited;
        std::string end;
    };
    // What extended headers say about the entry that follows them.
    struct Pending {
        std::optional<std::string> name;
        std::optional<std::string> link;
        std::optional<std::uint64_t> size;
    };

    void readMember(const char* header, const Handler& handler) {
        const char type = header[156];
        const auto headerSize = number(header + 124, 12);
        const auto mode = number(header + 100, 8);
        if (!headerSize || !mode) {
            refuse("アーカイブが壊れています");
        }
        switch (type) {
        case 'L':
            pending_.name = extension(*headerSize, maximumName + 1, true);
            return;
        case 'K':
            pending_.link = extension(*headerSize, maximumName + 1, true);
            return;
        case 'x':
            applyExtended(extension(*headerSize, maximumExtendedHeader, false), false);
            return;
        case 'g':
            applyExtended(extension(*headerSize, maximumExtendedHeader, false), true);
            return;
        default:
            break;
        }
        std::string raw = pending_.name.value_or(headerName(header));
        Entry entry;
        entry.path = normalized(raw);
        entry.mode = unsigned(*mode & 07777);
        entry.linkTarget = pending_.link.value_or(text(header + 157, 100));
        const std::uint64_t size = pending_.size.value_or(*headerSize);
        pending_ = {};
        entry.type = typeOf(type, raw.empty() ? "(名前なし)" : shown(raw));
        entry.size = entry.type == Entry::Type::file ? size : 0;
        // tar reads what follows such an entry as the next header, not as its contents: skipping it would
        // check something other than what tar unpacks.
        if (entry.type != Entry::Type::file && size != 0) {
            refuse(shown(raw) + ": 中身のあるフォルダやシンボリックリンクは受け付けません");
        }

        EntryContents contents(in_, size);
        if (raw.empty()) {
            refuse("名前のない項目は受け付けません");
        }
        if (entry.path.empty()) {
            // The archive's own top: the folder it is unpacked into, which is never changed.
            if (entry.type != Entry::Type::folder) {
                refuse(raw + ": アーカイブの一番上はフォルダでなければなりません");
            }
        } else {
            check(entry);
            if (payload_ && entry.path == ReleaseManifest::fileName) {
                readManifest(entry, contents);
            } else {
                handler(entry, contents);
            }
        }
        contents.skipRest();
        skipPadding(size);
    }

    static std::string headerName(const char* header) {
        std::string name = text(header, 100);
        // POSIX ustar keeps the front of a long name in the prefix field; GNU tar uses that space otherwise.
        if (header[262] == '\0') {
            const std::string prefix = text(header + 345, 155);
            if (!prefix.empty()) {
                name = prefix + "/" + name;
            }
        }
        return name;
    }

    Entry::Type typeOf(char type, const std::string& name) const {
        switch (type) {
        case '0':
        case '\0':
        case '7':
            return Entry::Type::file;
        case '5':
            return Entry::Type::folder;
        case '2':
            if (payload_) {
                return Entry::Type::symlink;
            }
            refuse(name + ": シンボリックリンクは受け付けません");
        case '1':
            refuse(name + ": ハードリンクは受け付けません");
        case '3':
        case '4':
            refuse(name + ": デバイスファイルは受け付けません");
        case '6':
            refuse(name + ": 名前付きパイプは受け付けません");
        default:
            refuse(name + ": 扱えない種類の項目です（" + std::string(1, type) + "）");
        }
    }

    void check(const Entry& entry) {
        checkName(entry.path);
        if (entry.type == Entry::Type::symlink) {
            checkNoNul(entry.linkTarget);
        }
        if ((entry.mode & 06000) != 0) {
            refuse(entry.path + ": setuid・setgid ビットのある項目は受け付けません");
        }
        // Every known name's folders are known too, so a name is checked up to its nearest known folder
        // only, and the folders it implies on the way count as entries.
        std::uint64_t added = 1;
        if (const auto known = seen_.find(entry.path); known != seen_.end()) {
            if (!known->second.implied) {
                refuse(entry.path + ": 同じ名前の項目が二つあります");
            }
            if (entry.type != Entry::Type::folder) {
                refuse(entry.path + ": ファイルやシンボリックリンクの下には置けません");
            }
            added = 0;
        }
        std::vector<std::size_t> implied;
        for (std::size_t slash = entry.path.rfind('/'); added != 0 && slash != std::string::npos && slash > 0;
             slash = entry.path.rfind('/', slash - 1)) {
            const auto parent = seen_.find(entry.path.substr(0, slash));
            if (parent != seen_.end()) {
                if (parent->second.type != Entry::Type::folder) {
                    refuse(entry.path + ": ファイルやシンボリックリンクの下には置けません");
                }
                break;
            }
            implied.push_back(slash);
        }
        added += implied.size();
        if (added > limits_.entries - std::min(entries_, limits_.entries)) {
            refuse("項目が多すぎます（上限 " + std::to_string(limits_.entries) + "）");
        }
        entries_ += added;
        if (entry.size > limits_.bytes - std::min(bytes_, limits_.bytes)) {
            refuse("展開すると大きすぎます（上限 " + std::to_string(limits_.bytes) + " バイト）");
        }
        bytes_ += entry.size;
        for (const std::size_t slash : implied) {
            seen_.emplace(entry.path.substr(0, slash), Known{Entry::Type::folder, true});
        }
        seen_[entry.path] = Known{entry.type, false};
        if (entry.type == Entry::Type::symlink) {
            links_.emplace(entry.path, Link{entry.linkTarget, Link::State::unvisited, {}});
        }
    }

    void readManifest(const Entry& entry, Contents& contents) {
        if (entry.type != Entry::Type::file || entry.size > ReleaseManifest::maximumSize) {
            refuse(entry.path + ": リリースの情報を読めません");
        }
        std::string json(std::size_t(entry.size), '\0');
        contents.read(json.data(), json.size());
        manifest_ = ReleaseManifest::parse(json);
        if (!manifest_) {
            refuse(entry.path + ": リリースの情報を読めません");
        }
    }

    // A symlink must point at another entry of the payload, followed as the file system follows it:
    // through the payload's own symlinks, ".." taken from the folder reached so far, every step an entry of
    // the payload and never above its top.
    void checkLinks() {
        for (const auto& [path, link] : links_) {
            if (!resolve(path, 0)) {
                refuse(path + " -> " + link.target +
                       ": 中身のほかの項目を指さないシンボリックリンクは受け付けません");
            }
        }
    }

    // Where the symlink `path` ends (a file or a folder of the payload); nothing when it leaves the
    // payload, passes or ends at anything else, or loops. Each link is followed once.
    std::optional<std::string> resolve(const std::string& path, unsigned hops) {
        Link& link = links_.at(path);
        if (link.state == Link::State::resolved) {
            return link.end;
        }
        if (link.state != Link::State::unvisited || hops > maximumLinkHops || link.target.empty() ||
            link.target.front() == '/') {
            link.state = Link::State::refused;
            return std::nullopt;
        }
        link.state = Link::State::resolving;
        const std::size_t slash = path.rfind('/');
        std::string current = slash == std::string::npos ? std::string() : path.substr(0, slash);
        bool atFile = false;
        for (const std::string& part : components(link.target)) {
            if (atFile) {
                // Only the last step may be a file.
                return refused(link);
            }
            if (part.empty() || part == ".") {
                continue;
            }
            if (part == "..") {
                if (current.empty()) {
                    return refused(link);
                }
                const std::size_t up = current.rfind('/');
                current.resize(up == std::string::npos ? 0 : up);
                continue;
            }
            current += (current.empty() ? "" : "/") + part;
            auto type = typeAt(current);
            if (type == Entry::Type::symlink) {
                auto end = resolve(current, hops + 1);
                if (!end) {
                    return refused(link);
                }
                current = std::move(*end);
                type = typeAt(current);
            }
            if (!type) {
                return refused(link);
            }
            atFile = type == Entry::Type::file;
        }
        if (current.empty()) {
            return refused(link);
        }
        link.state = Link::State::resolved;
        link.end = current;
        return current;
    }

    std::optional<Entry::Type> typeAt(const std::string& path) {
        if (path.size() + 1 > linkWork_) {
            refuse("シンボリックリンクが多すぎて確かめきれません");
        }
        linkWork_ -= path.size() + 1;
        const auto found = seen_.find(path);
        return found == seen_.end() ? std::nullopt : std::optional(found->second.type);
    }

    static std::optional<std::string> refused(Link& link) {
        link.state = Link::State::refused;
        return std::nullopt;
    }

    std::string extension(std::uint64_t size, std::uint64_t limit, bool name) {
        if (size > limit) {
            refuse("アーカイブの拡張ヘッダが大きすぎます");
        }
        std::string data(std::size_t(size), '\0');
        if (in_.readFully(data.data(), data.size()) != data.size()) {
            refuse("アーカイブが途中で終わっています");
        }
        skipPadding(size);
        if (name) {
            // A GNU long name ends in NULs; one inside it stays, for the entry's check to refuse.
            while (!data.empty() && data.back() == '\0') {
                data.pop_back();
            }
        }
        return data;
    }

    // pax records: "<length> <key>=<value>\n", the length counting the whole record.
    void applyExtended(const std::string& records, bool global) {
        std::size_t position = 0;
        while (position < records.size()) {
            const std::size_t space = records.find(' ', position);
            const auto length = space == std::string::npos
                                    ? std::nullopt
                                    : decimal(std::string_view(records).substr(position, space - position));
            if (!length || *length <= space - position || *length > records.size() - position ||
                records[position + *length - 1] != '\n') {
                refuse("アーカイブの拡張ヘッダが壊れています");
            }
            const std::string record = records.substr(space + 1, position + *length - 1 - (space + 1));
            position += *length;
            const std::size_t equals = record.find('=');
            if (equals == std::string::npos) {
                refuse("アーカイブの拡張ヘッダが壊れています");
            }
            const std::string key = record.substr(0, equals);
            const std::string value = record.substr(equals + 1);
            // Times and owners are not applied: placement makes everything the helper's own, now.
            if (key == "mtime" || key == "atime" || key == "ctime" || key == "uid" || key == "gid" ||
                key == "uname" || key == "gname") {
                continue;
            }
            // Anything else could change what an entry is (sparse files, another character set, ...).
            if (key != "path" && key != "linkpath" && key != "size") {
                refuse("扱えない拡張ヘッダです（" + shown(key) + "）");
            }
            if (global) {
                refuse("すべての項目の名前や大きさを変える拡張ヘッダは受け付けません");
            }
            if (key == "path") {
                pending_.name = value;
            } else if (key == "linkpath") {
                pending_.link = value;
            } else if (auto size = decimal(value)) {
                pending_.size = size;
            } else {
                refuse("アーカイブの拡張ヘッダが壊れています");
            }
        }
    }

    void skipPadding(std::uint64_t size) {
        char padding[blockSize];
        const std::size_t count = std::size_t((blockSize - size % blockSize) % blockSize);
        if (in_.readFully(padding, count) != count) {
            refuse("アーカイブが途中で終わっています");
        }
    }

    Stream& in_;
    Limits limits_;
    bool payload_;
    Pending pending_;
    std::uint64_t entries_ = 0;
    std::uint64_t bytes_ = 0;
    std::map<std::string, Known> seen_;
    std::map<std::string, Link> links_;
    std::uint64_t linkWork_ = linkWork;
    std::optional<ReleaseManifest::Manifest> manifest_;
};

} // namespace

std::vector<std::string> components(std::string_view path) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (start <= path.size()) {
        const std::size_t slash = std::min(path.find('/', start), path.size());
        parts.emplace_back(path.substr(start, slash - start));
        start = slash + 1;
    }
    return parts;
}

void readImage(int fd, const Limits& limits, const Handler& handler) {
    FileStream stream(fd);
    Reader(stream, limits, false).run(handler);
}

namespace {

[[noreturn]] void cannotWrite(const std::string& path) {
    throw SafeFiles::Failure(path + ": " + std::strerror(errno));
}

// The folder `name` in `parent`, made when it is missing; never a symlink.
FileDescriptor enter(int parent, const std::string& name, const std::string& path) {
    if (::mkdirat(parent, name.c_str(), 0700) != 0 && errno != EEXIST) {
        cannotWrite(path);
    }
    FileDescriptor folder(::openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!folder) {
        cannotWrite(path);
    }
    return folder;
}

} // namespace

void unpackImage(int fd, const Limits& limits, int folder) {
    readImage(fd, limits, [folder](const Entry& entry, Contents& contents) {
        const std::vector<std::string> parts = components(entry.path);
        const std::size_t folders = entry.type == Entry::Type::folder ? parts.size() : parts.size() - 1;
        FileDescriptor current;
        for (std::size_t i = 0; i < folders; ++i) {
            current = enter(current ? current.get() : folder, parts[i], entry.path);
        }
        if (entry.type == Entry::Type::folder) {
            return;
        }
        const FileDescriptor out(::openat(current ? current.get() : folder, parts.back().c_str(),
                                          O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (!out) {
            cannotWrite(entry.path);
        }
        char buffer[65536];
        for (std::size_t count = 0; (count = contents.read(buffer, sizeof buffer)) > 0;) {
            if (!writeAll(out.get(), std::string_view(buffer, count))) {
                cannotWrite(entry.path);
            }
        }
    });
}

std::optional<ReleaseManifest::Manifest> readPayload(int fd, const Limits& limits, const Handler& handler) {
    GzipStream stream(fd);
    return Reader(stream, limits, true).run(handler);
}

} // namespace UpdateArchive
