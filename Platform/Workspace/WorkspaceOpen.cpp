// Opening URLs through xdg-open, which needs no session bus.
#include "Platform/Workspace/Workspace.h"

#include <cctype>
#include <cerrno>
#include <spawn.h>
#include <sys/wait.h>

#include "Platform/Dispatch/DispatchQueue.h"

extern char** environ;

namespace {

bool spawnDetached(const std::vector<std::string>& argv) {
    if (argv.empty()) {
        return false;
    }
    std::vector<char*> args;
    for (const auto& arg : argv) {
        args.push_back(const_cast<char*>(arg.c_str()));
    }
    args.push_back(nullptr);
    pid_t child = 0;
    if (posix_spawnp(&child, args[0], nullptr, nullptr, args.data(), environ) != 0) {
        return false;
    }
    // Reaped off the caller's thread so neither a zombie is left nor the caller waits for the opener.
    DispatchQueue::global(DispatchQoS::utility)->async([child] {
        int status = 0;
        while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
        }
    });
    return true;
}

// scheme ":" ...; also keeps xdg-open from reading the argument as an option.
bool hasScheme(const std::string& url) {
    const auto colon = url.find(':');
    if (colon == std::string::npos || colon == 0 || !std::isalpha(static_cast<unsigned char>(url[0]))) {
        return false;
    }
    for (std::size_t i = 1; i < colon; ++i) {
        const auto c = static_cast<unsigned char>(url[i]);
        if (!std::isalnum(c) && c != '+' && c != '-' && c != '.') {
            return false;
        }
    }
    return true;
}

bool hasControlCharacters(const std::string& text) {
    for (unsigned char c : text) {
        if (c < 0x20 || c == 0x7f) {
            return true;
        }
    }
    return false;
}

} // namespace

bool Workspace::openURL(const std::string& url) {
    if (!hasScheme(url) || hasControlCharacters(url)) {
        return false;
    }
    return launcher()({"xdg-open", url});
}

void Workspace::setLauncher(Launcher launcher) {
    std::lock_guard lock(mutex_);
    launcher_ = std::move(launcher);
}

Workspace::Launcher Workspace::launcher() const {
    std::lock_guard lock(mutex_);
    return launcher_ ? launcher_ : Launcher(spawnDetached);
}
