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

#include "TandrelApp/Updater/Package/FileDescriptor.h"
#include "TandrelApp/Updater/Package/InstallHelper.h"
#include "TandrelApp/Updater/Package/SafeFiles.h"

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

std::vector<std::string> UpdateTools::elevatedInstallArguments(const std::string& package,
                                                               const std::string& digest,
                                                               const std::string& version) const {
    return {installer, "-pkg", package, "-sha256", digest, "-version", version};
}

namespace UpdateToolRunner {

void unpack(const std::string& image, const std::string& folder, const UpdateArchive::Limits& limits) {
    try {
        const FileDescriptor archive(::open(image.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        if (!archive) {
            throw UpdateArchive::Refused(image + ": " + std::strerror(errno));
        }
        const FileDescriptor into(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!into) {
            throw SafeFiles::Failure(folder + ": " + std::strerror(errno));
        }
        UpdateArchive::unpackImage(archive.get(), limits, into.get());
    } catch (const std::runtime_error& failure) {
        throw InstallError::download(std::string("ディスクイメージを開けません: ") + failure.what());
    }
}

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

    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);

    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, path.c_str(), &actions, &attributes, argv.data(), environ);
    posix_spawnattr_destroy(&attributes);
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
    // What the helper trusts lies beside it: its settings and the update authority.
    const std::string folder = std::string(resolved).substr(0, std::string(resolved).rfind('/'));
    const std::string settings = folder + "/" + std::string(InstallHelper::settingsName);
    for (const std::string& trusted : {settings, tools.certificateAuthority}) {
        if (::lstat(trusted.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) {
            throw problem("インストール用の補助プログラムの設定が見つかりません（" + trusted + "）");
        }
    }
    // Whoever can change the helper, what it trusts or a folder above them could put another program or
    // another authority in their place while the password is asked for.
    for (const std::string& path : {std::string(resolved), settings, tools.certificateAuthority}) {
        if (const auto changeable = SafeFiles::othersCanChange(path, tools.installerOwner)) {
            throw problem("インストール用の補助プログラムを管理者のほかにも書き換えられます（" + *changeable +
                          "）");
        }
    }
    return resolved;
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
