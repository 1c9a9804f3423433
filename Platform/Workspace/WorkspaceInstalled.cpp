// Installed applications: XDG desktop entries looked up by file name, and their localized names and icons.
#include "Platform/Workspace/Workspace.h"

#include <array>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>

namespace {

namespace fs = std::filesystem;

// Desktop entries are a few kilobytes; anything this large is not one and is not read whole.
constexpr std::uintmax_t kMaxEntryBytes = 1 << 20;

std::string trimmed(std::string_view text) {
    const auto first = text.find_first_not_of(" \t\r");
    if (first == std::string_view::npos) {
        return {};
    }
    const auto last = text.find_last_not_of(" \t\r");
    return std::string(text.substr(first, last - first + 1));
}

std::string unescaped(std::string_view value) {
    std::string out;
    out.reserve(value.size());
    for (std::size_t i = 0; i < value.size(); ++i) {
        if (value[i] != '\\' || i + 1 == value.size()) {
            out += value[i];
            continue;
        }
        switch (value[++i]) {
        case 's':
            out += ' ';
            break;
        case 'n':
            out += '\n';
            break;
        case 't':
            out += '\t';
            break;
        case 'r':
            out += '\r';
            break;
        case '\\':
            out += '\\';
            break;
        default:
            out += '\\';
            out += value[i];
        }
    }
    return out;
}

// The key-value pairs of the [Desktop Entry] group; none when the file is not a desktop entry.
std::optional<std::map<std::string, std::string>> readDesktopEntry(const fs::path& path) {
    std::error_code error;
    if (!fs::is_regular_file(path, error) || fs::file_size(path, error) > kMaxEntryBytes || error) {
        return std::nullopt;
    }
    std::ifstream file(path);
    if (!file) {
        return std::nullopt;
    }
    std::map<std::string, std::string> keys;
    bool inMainGroup = false;
    bool sawMainGroup = false;
    std::string line;
    while (std::getline(file, line)) {
        const std::string text = trimmed(line);
        if (text.empty() || text.front() == '#') {
            continue;
        }
        if (text.front() == '[') {
            inMainGroup = text == "[Desktop Entry]";
            sawMainGroup = sawMainGroup || inMainGroup;
            continue;
        }
        const auto equals = text.find('=');
        if (!inMainGroup || equals == std::string::npos) {
            continue;
        }
        keys.try_emplace(trimmed(std::string_view(text).substr(0, equals)),
                         unescaped(trimmed(std::string_view(text).substr(equals + 1))));
    }
    if (!sawMainGroup) {
        return std::nullopt;
    }
    return keys;
}

// The message locale as desktop entries match it: lang_COUNTRY@MODIFIER, lang_COUNTRY,
// lang@MODIFIER, lang.
std::vector<std::string> localeSuffixes() {
    std::string locale;
    for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        if (const char* value = std::getenv(name); value != nullptr && *value != '\0') {
            locale = value;
            break;
        }
    }
    std::string modifier;
    if (auto at = locale.find('@'); at != std::string::npos) {
        modifier = locale.substr(at);
        locale.erase(at);
    }
    if (auto dot = locale.find('.'); dot != std::string::npos) {
        locale.erase(dot);
    }
    if (locale.empty() || locale == "C" || locale == "POSIX") {
        return {};
    }
    std::string lang = locale;
    std::string country;
    if (auto underscore = locale.find('_'); underscore != std::string::npos) {
        lang = locale.substr(0, underscore);
        country = locale.substr(underscore);
    }
    std::vector<std::string> suffixes;
    if (!country.empty() && !modifier.empty()) {
        suffixes.push_back(lang + country + modifier);
    }
    if (!country.empty()) {
        suffixes.push_back(lang + country);
    }
    if (!modifier.empty()) {
        suffixes.push_back(lang + modifier);
    }
    suffixes.push_back(lang);
    return suffixes;
}

std::optional<std::string> localizedName(const std::map<std::string, std::string>& keys) {
    for (const auto& suffix : localeSuffixes()) {
        if (auto found = keys.find("Name[" + suffix + "]"); found != keys.end() && !found->second.empty()) {
            return found->second;
        }
    }
    if (auto found = keys.find("Name"); found != keys.end() && !found->second.empty()) {
        return found->second;
    }
    return std::nullopt;
}

// A bundle identifier becomes part of a file name: nothing that could leave the folder.
bool isSafeFileStem(std::string_view identifier) {
    return !identifier.empty() && identifier.front() != '.' &&
           identifier.find_first_of(std::string_view("/\0", 2)) == std::string_view::npos;
}

// Whether the file is a desktop entry of an application that is installed (not hidden, which is how a
// user uninstalls a system-wide entry).
bool isApplicationEntry(const fs::path& path) {
    auto keys = readDesktopEntry(path);
    return keys && (*keys)["Type"] == "Application" && (*keys)["Hidden"] != "true";
}

std::vector<std::string> xdgApplicationDirectories() {
    std::vector<std::string> dirs;
    if (const char* home = std::getenv("XDG_DATA_HOME"); home != nullptr && *home == '/') {
        dirs.push_back(std::string(home) + "/applications");
    } else if (const char* user = std::getenv("HOME"); user != nullptr && *user != '\0') {
        dirs.push_back(std::string(user) + "/.local/share/applications");
    }
    const char* dataDirs = std::getenv("XDG_DATA_DIRS");
    std::string_view list =
        dataDirs != nullptr && *dataDirs != '\0' ? dataDirs : "/usr/local/share:/usr/share";
    while (!list.empty()) {
        const auto colon = list.find(':');
        const std::string_view dir = list.substr(0, colon);
        if (!dir.empty() && dir.front() == '/') {
            dirs.push_back(std::string(dir) + "/applications");
        }
        list = colon == std::string_view::npos ? std::string_view() : list.substr(colon + 1);
    }
    return dirs;
}

} // namespace

std::optional<std::string> Workspace::urlForApplication(std::string_view bundleIdentifier) const {
    if (!isSafeFileStem(bundleIdentifier)) {
        return std::nullopt;
    }
    const std::string fileName = std::string(bundleIdentifier) + ".desktop";
    for (const auto& dir : applicationDirectories()) {
        const fs::path path = fs::path(dir) / fileName;
        std::error_code error;
        if (!fs::exists(path, error)) {
            continue;
        }
        // The first entry found shadows the others, a hidden one included: hiding is how a user
        // uninstalls a system-wide entry.
        if (!isApplicationEntry(path)) {
            return std::nullopt;
        }
        return path.string();
    }
    return std::nullopt;
}

std::optional<std::string> Workspace::applicationIdentifier(const std::string& path) {
    const fs::path file(path);
    if (file.extension() != ".desktop" || !isApplicationEntry(file)) {
        return std::nullopt;
    }
    std::string identifier = file.stem().string();
    if (!isSafeFileStem(identifier)) {
        return std::nullopt;
    }
    return identifier;
}

std::string Workspace::displayName(const std::string& path) {
    fs::path p(path);
    if (p.extension() == ".desktop") {
        if (auto keys = readDesktopEntry(p)) {
            if (auto name = localizedName(*keys)) {
                return *name;
            }
        }
    }
    if (!p.has_filename() && p.has_parent_path() && p.parent_path() != p) {
        p = p.parent_path();
    }
    const std::string name = p.filename().string();
    return name.empty() ? path : name;
}

ApplicationIcon Workspace::iconForFile(const std::string& path) const {
    const fs::path file(path);
    if (file.extension() != ".desktop") {
        return {};
    }
    auto keys = readDesktopEntry(file);
    if (!keys) {
        return {};
    }
    const std::string icon = (*keys)["Icon"];
    std::error_code error;
    if (icon.empty()) {
        return {};
    }
    if (icon.front() == '/') {
        return fs::is_regular_file(icon, error) ? ApplicationIcon{{}, icon} : ApplicationIcon{};
    }
    if (!isSafeFileStem(icon)) {
        return {};
    }
    // Largest first: the views scale icons down, never up.
    static constexpr std::array<std::string_view, 8> kThemeSizes{"512x512", "256x256", "128x128", "96x96",
                                                                 "64x64",   "48x48",   "32x32",   "16x16"};
    for (const auto& applications : applicationDirectories()) {
        const fs::path data = fs::path(applications).parent_path();
        std::vector<fs::path> candidates;
        for (const auto size : kThemeSizes) {
            candidates.push_back(data / "icons" / "hicolor" / size / "apps" / (icon + ".png"));
        }
        candidates.push_back(data / "pixmaps" / (icon + ".png"));
        candidates.push_back(data / "pixmaps" / (icon + ".xpm"));
        for (const auto& candidate : candidates) {
            if (fs::is_regular_file(candidate, error)) {
                return {{}, candidate.string()};
            }
        }
    }
    return {};
}

void Workspace::setApplicationDirectories(std::vector<std::string> directories) {
    std::lock_guard lock(mutex_);
    applicationDirectories_ = std::move(directories);
}

std::vector<std::string> Workspace::applicationDirectories() const {
    {
        std::lock_guard lock(mutex_);
        if (!applicationDirectories_.empty()) {
            return applicationDirectories_;
        }
    }
    return xdgApplicationDirectories();
}
