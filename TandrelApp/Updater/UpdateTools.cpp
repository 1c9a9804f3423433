#include "TandrelApp/Updater/UpdateTools.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sys/stat.h>

#include <QCoreApplication>
#include <QDir>
#include <QString>

#include "TandrelApp/Updater/Package/InstallHelper.h"

extern char** environ;

namespace {

std::string systemError(const char* what, int error) {
    return std::string(what) + ": " + std::strerror(error);
}

class Pipe {
public:
    Pipe() {
        if (::pipe2(ends_, O_CLOEXEC) != 0) {
            throw UpdateToolError(systemError("pipe", errno));
        }
    }
    ~Pipe() {
        closeEnd(0);
        closeEnd(1);
    }
    Pipe(const Pipe&) = delete;
    Pipe& operator=(const Pipe&) = delete;

    int read() const { return ends_[0]; }
    int write() const { return ends_[1]; }
    void closeEnd(int end) {
        if (ends_[end] >= 0) {
            ::close(ends_[end]);
            ends_[end] = -1;
        }
    }

private:
    int ends_[2] = {-1, -1};
};

} // namespace

#ifndef TANDREL_HELPER_FOLDER
#define TANDREL_HELPER_FOLDER "../lib/tandrel"
#endif

UpdateTools UpdateTools::standard() {
    const QString folder =
        QDir::cleanPath(QCoreApplication::applicationDirPath() + QStringLiteral("/" TANDREL_HELPER_FOLDER));
    UpdateTools tools;
    tools.installer = (folder + QLatin1Char('/') + QLatin1String(InstallHelper::programName)).toStdString();
    tools.certificateAuthority =
        (folder + QLatin1Char('/') + QLatin1String(InstallHelper::authorityName)).toStdString();
    return tools;
}

std::vector<std::string> UpdateTools::attachArguments(const std::string& image,
                                                      const std::string& mountFolder) const {
    return {"-x", "-f", image, "-C", mountFolder, "--no-same-owner", "--no-same-permissions"};
}

std::vector<std::string> UpdateTools::elevatedInstallArguments(const std::string& package,
                                                               const std::string& digest,
                                                               const std::string& version) const {
    return {installer, "-pkg", package, "-sha256", digest, "-version", version};
}

namespace UpdateToolRunner {

CommandResult runSync(const std::string& path, const std::vector<std::string>& arguments) {
    Pipe pipe;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipe.write(), STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, pipe.write(), STDERR_FILENO);

    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(path.c_str()));
    for (const auto& argument : arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);

    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, path.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        throw UpdateToolError(systemError(path.c_str(), spawned));
    }
    pipe.closeEnd(1);

    std::string bytes;
    char buffer[4096];
    for (;;) {
        const ssize_t count = ::read(pipe.read(), buffer, sizeof buffer);
        if (count > 0) {
            bytes.append(buffer, std::size_t(count));
        } else if (count == 0 || errno != EINTR) {
            break;
        }
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    const int exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return {exitStatus, QString::fromUtf8(bytes.data(), qsizetype(bytes.size())).toStdString()};
}

} // namespace UpdateToolRunner

namespace UpdateToolDecisions {

std::string trimmed(const std::string& text) {
    const char* space = " \t\n\r\f\v";
    const auto first = text.find_first_not_of(space);
    if (first == std::string::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(space) - first + 1);
}

std::optional<InstallError> attachFailure(const CommandResult& result) {
    if (result.status == 0) {
        return std::nullopt;
    }
    return InstallError::download("ディスクイメージを開けません: " + result.output);
}

std::string trustedInstaller(const UpdateTools& tools) {
    const auto problem = [&tools](const std::string& reason) {
        return InstallError::installer(tools.installer + ": " + reason);
    };
    char resolved[PATH_MAX];
    struct stat status {};
    if (tools.installer.empty() || ::realpath(tools.installer.c_str(), resolved) == nullptr ||
        ::stat(resolved, &status) != 0) {
        throw problem("インストール用の補助プログラムが見つかりません");
    }
    if (!S_ISREG(status.st_mode) || (status.st_mode & S_IXUSR) == 0) {
        throw problem("インストール用の補助プログラムを実行できません");
    }
    // Whoever can change the helper or a folder above it could put another program in its place while
    // the password is asked for. Only a folder with the sticky bit keeps others from renaming what is
    // not theirs.
    for (std::string current = resolved;;) {
        if (::stat(current.c_str(), &status) != 0) {
            throw problem(current + ": " + std::strerror(errno));
        }
        const bool sticky = S_ISDIR(status.st_mode) && (status.st_mode & S_ISVTX) != 0;
        if ((status.st_uid != 0 && status.st_uid != tools.installerOwner) ||
            ((status.st_mode & (S_IWGRP | S_IWOTH)) != 0 && !sticky)) {
            throw problem("インストール用の補助プログラムを管理者のほかにも書き換えられます（" + current +
                          "）");
        }
        if (current == "/") {
            return resolved;
        }
        const std::size_t slash = current.rfind('/');
        current = slash == 0 ? "/" : current.substr(0, slash);
    }
}

std::optional<InstallError> installerFailure(const CommandResult& result) {
    if (result.status == 0) {
        return std::nullopt;
    }
    if (result.status == 126) {
        return InstallError::installer("cancelled");
    }
    return InstallError::installer(trimmed(result.output));
}

} // namespace UpdateToolDecisions
