#include "Platform/System/LoginItemService.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <sstream>
#include <vector>

namespace LoginItemService {
namespace {

std::filesystem::path configHome() {
    if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg != nullptr && *xdg == '/') {
        return xdg;
    }
    if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') {
        return std::filesystem::path(home) / ".config";
    }
    return {};
}

std::string trimmed(const std::string& text) {
    const auto first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

// The keys of the [Desktop Entry] group; nothing when the file cannot be read or has no such group.
std::optional<std::vector<std::pair<std::string, std::string>>> readEntry(const std::filesystem::path& path) {
    std::ifstream file(path);
    if (!file) {
        return std::nullopt;
    }
    std::vector<std::pair<std::string, std::string>> keys;
    bool inGroup = false;
    bool sawGroup = false;
    std::string line;
    while (std::getline(file, line)) {
        line = trimmed(line);
        if (line.empty() || line[0] == '#') {
            continue;
        }
        if (line[0] == '[') {
            inGroup = line == "[Desktop Entry]";
            sawGroup = sawGroup || inGroup;
            continue;
        }
        const auto equals = line.find('=');
        if (inGroup && equals != std::string::npos) {
            keys.emplace_back(trimmed(line.substr(0, equals)), trimmed(line.substr(equals + 1)));
        }
    }
    if (!sawGroup) {
        return std::nullopt;
    }
    return keys;
}

std::string valueOf(const std::vector<std::pair<std::string, std::string>>& keys, const std::string& key) {
    for (const auto& [k, v] : keys) {
        if (k == key) {
            return v;
        }
    }
    return {};
}

// The program an Exec line starts: its first argument, quotes and escapes undone.
std::string firstExecArgument(const std::string& exec) {
    std::string argument;
    bool quoted = false;
    for (std::size_t i = 0; i < exec.size(); ++i) {
        const char c = exec[i];
        if (quoted && c == '\\' && i + 1 < exec.size()) {
            argument += exec[++i];
        } else if (c == '"') {
            quoted = !quoted;
        } else if (!quoted && (c == ' ' || c == '\t')) {
            if (!argument.empty()) {
                break;
            }
        } else {
            argument += c;
        }
    }
    // Field codes and a literal percent are written doubled.
    std::string unescaped;
    for (std::size_t i = 0; i < argument.size(); ++i) {
        unescaped += argument[i];
        if (argument[i] == '%' && i + 1 < argument.size() && argument[i + 1] == '%') {
            ++i;
        }
    }
    return unescaped;
}

std::string systemError(const std::string& what, int error) {
    return what + ": " + std::strerror(error);
}

} // namespace

std::filesystem::path entryPath(const std::string& identifier) {
    return configHome() / "autostart" / (identifier + ".desktop");
}

Status status(const std::string& identifier, const std::filesystem::path& executable) {
    const auto keys = readEntry(entryPath(identifier));
    if (!keys) {
        return Status::notRegistered;
    }
    const bool isApplication = valueOf(*keys, "Type") == "Application";
    const bool hidden = valueOf(*keys, "Hidden") == "true";
    const bool switchedOff = valueOf(*keys, "X-GNOME-Autostart-enabled") == "false";
    const bool startsUs = firstExecArgument(valueOf(*keys, "Exec")) == executable.string();
    return isApplication && !hidden && !switchedOff && startsUs ? Status::enabled : Status::notRegistered;
}

std::string quoteExecArgument(const std::string& argument) {
    static const std::string reserved = " \t\n\"'\\><~|&;$*?#()`";
    std::string escapedPercent;
    for (char c : argument) {
        escapedPercent += c;
        if (c == '%') {
            escapedPercent += '%';
        }
    }
    if (!escapedPercent.empty() && escapedPercent.find_first_of(reserved) == std::string::npos) {
        return escapedPercent;
    }
    std::string quoted = "\"";
    for (char c : escapedPercent) {
        if (c == '"' || c == '`' || c == '$' || c == '\\') {
            quoted += '\\';
        }
        quoted += c;
    }
    return quoted + "\"";
}

void registerItem(const std::string& identifier, const std::string& name,
                  const std::filesystem::path& executable) {
    const auto path = entryPath(identifier);
    if (path.is_relative()) {
        throw Error("no configuration folder: neither XDG_CONFIG_HOME nor HOME is set");
    }
    std::error_code error;
    std::filesystem::create_directories(path.parent_path(), error);
    if (error) {
        throw Error("cannot create " + path.parent_path().string() + ": " + error.message());
    }
    std::ostringstream text;
    text << "[Desktop Entry]\n"
         << "Type=Application\n"
         << "Name=" << name << "\n"
         << "Exec=" << quoteExecArgument(executable.string()) << " " << launchArgument << "\n"
         << "X-GNOME-Autostart-enabled=true\n";
    const std::string contents = text.str();

    // Written beside the entry and renamed over it, so a login never reads half an entry.
    std::string temporary = path.string() + ".XXXXXX";
    const int fd = mkstemp(temporary.data());
    if (fd < 0) {
        throw Error(systemError("cannot write " + path.string(), errno));
    }
    const bool written =
        ::write(fd, contents.data(), contents.size()) == static_cast<ssize_t>(contents.size());
    const int writeError = errno;
    const bool closed = ::close(fd) == 0;
    if (!written || !closed || std::rename(temporary.c_str(), path.c_str()) != 0) {
        const int failure = written && closed ? errno : writeError;
        std::remove(temporary.c_str());
        throw Error(systemError("cannot write " + path.string(), failure));
    }
}

void unregisterItem(const std::string& identifier) {
    const auto path = entryPath(identifier);
    if (std::remove(path.c_str()) != 0 && errno != ENOENT) {
        throw Error(systemError("cannot remove " + path.string(), errno));
    }
}

} // namespace LoginItemService
