#include "TandrelApp/Updater/UpdateTools.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QFileInfo>
#include <QString>

extern char** environ;

namespace {

// The first of `candidates` (relative to the program's folder) that exists, else the last one.
std::string besideProgram(std::initializer_list<const char*> candidates) {
    const QString folder = QCoreApplication::applicationDirPath();
    QString path;
    for (const char* candidate : candidates) {
        path = QFileInfo(folder + QLatin1Char('/') + QLatin1String(candidate)).absoluteFilePath();
        if (QFileInfo::exists(path)) {
            break;
        }
    }
    return path.toStdString();
}

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

UpdateTools UpdateTools::standard() {
    UpdateTools tools;
    tools.installer = besideProgram({"tandrel-install", "../libexec/tandrel/tandrel-install"});
    tools.certificateAuthority = besideProgram({"update-ca.pem", "../share/tandrel/update-ca.pem"});
    return tools;
}

std::vector<std::string> UpdateTools::attachArguments(const std::string& image,
                                                      const std::string& mountFolder) const {
    return {"-x", "-f", image, "-C", mountFolder, "--no-same-owner", "--no-same-permissions"};
}

std::vector<std::string> UpdateTools::assessArguments(const std::string& package) const {
    return {
        "cms",      "-verify", "-binary", "-inform",  "DER", "-in", package, "-CAfile", certificateAuthority,
        "-purpose", "any",     "-out",    "/dev/null"};
}

std::vector<std::string> UpdateTools::signerArguments(const std::string& package,
                                                      const std::string& signerFile) const {
    auto arguments = assessArguments(package);
    arguments.insert(arguments.end(), {"-signer", signerFile});
    return arguments;
}

std::vector<std::string> UpdateTools::subjectArguments(const std::string& signerFile) const {
    return {"x509", "-in", signerFile, "-noout", "-subject", "-nameopt", "multiline,sname,utf8,-esc_msb"};
}

std::string UpdateTools::installerCommand(const std::string& package, const std::string& team) const {
    using UpdateToolDecisions::shellQuote;
    return shellQuote(installer) + " -pkg " + shellQuote(package) + " -target " + shellQuote(target) +
           " -ca " + shellQuote(certificateAuthority) + " -team " + shellQuote(team);
}

std::vector<std::string> UpdateTools::elevatedInstallArguments(const std::string& package,
                                                               const std::string& team) const {
    return {shell, "-c", installerCommand(package, team)};
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

std::string shellQuote(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) {
        if (c == '\'') {
            quoted += "'\\''";
        } else {
            quoted += c;
        }
    }
    return quoted + "'";
}

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

std::optional<InstallError> assessmentFailure(const CommandResult& result) {
    if (result.status == 0 && result.output.find("Verification successful") != std::string::npos) {
        return std::nullopt;
    }
    return InstallError::untrusted("Gatekeeper: " + trimmed(result.output));
}

std::optional<std::string> installerTeam(const std::string& subjectOutput) {
    std::optional<std::string> team;
    int teams = 0;
    bool installerName = false;
    std::size_t start = 0;
    while (start < subjectOutput.size()) {
        const std::size_t end = std::min(subjectOutput.find('\n', start), subjectOutput.size());
        const std::string line = subjectOutput.substr(start, end - start);
        start = end + 1;
        const std::size_t equals = line.find('=');
        if (equals == std::string::npos) {
            continue;
        }
        const std::string name = trimmed(line.substr(0, equals));
        std::string value = line.substr(equals + 1);
        if (!value.empty() && value.front() == ' ') {
            value.erase(0, 1);
        }
        if (name == "OU") {
            ++teams;
            team = value;
        } else if (name == "CN") {
            installerName = value.rfind("Developer ID Installer: ", 0) == 0;
        }
    }
    if (teams != 1 || !installerName) {
        return std::nullopt;
    }
    return team;
}

std::optional<InstallError> teamFailure(const CommandResult& signer, const CommandResult& subject,
                                        const std::string& team) {
    if (signer.status == 0 && subject.status == 0 && installerTeam(subject.output) == team) {
        return std::nullopt;
    }
    return InstallError::untrusted("署名者がこのアプリの開発元と一致しません");
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
