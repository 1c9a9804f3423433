// tandrel-install, Corvane's installer helper. The elevator runs it as root:
//   tandrel-install -pkg PACKAGE -sha256 DIGEST -version VERSION
// It trusts only files that only root can change. It runs in a session of its own, deaf to the signals of
// the terminal it may have come from, and never beside another run of itself. It first completes or undoes
// a placement that an earlier run was stopped in, from that run's journal, and clears what that run left.
// Then it reads the package once, checks that it is the package the application checked (its digest),
// that it is signed for our team under the authority installed beside this program, and that it holds the
// release asked for and a newer one than the program installed; then it unpacks the payload into a folder
// only root can enter, refusing anything that is not a plain file, a folder or a symlink inside the
// payload, and puts it in place all or nothing. Anything it refuses or fails at is written to standard
// error and ends it with its own exit status; the target is then as it was.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include <csignal>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "TandrelApp/Updater/Package/FileDescriptor.h"
#include "TandrelApp/Updater/Package/InstallHelper.h"
#include "TandrelApp/Updater/Package/PackageTrust.h"
#include "TandrelApp/Updater/Package/PayloadPlacement.h"
#include "TandrelApp/Updater/Package/ReleaseManifest.h"
#include "TandrelApp/Updater/Package/SafeFiles.h"
#include "TandrelApp/Updater/Package/UpdateArchive.h"

#ifndef TANDREL_HELPER_VERSION
#define TANDREL_HELPER_VERSION "0"
#endif
#ifndef TANDREL_HELPER_BUILD
#define TANDREL_HELPER_BUILD "0"
#endif

namespace {

using namespace InstallHelper;

// Ends the helper with `status` after saying why.
struct Stop {
    Exit status;
    std::string reason;
};

[[noreturn]] void stop(Exit status, std::string reason) {
    throw Stop{status, std::move(reason)};
}

struct Arguments {
    std::string package;
    std::string digest;
    std::string version;
};

Arguments parse(int argc, char** argv) {
    Arguments arguments;
    for (int i = 1; i < argc; i += 2) {
        const std::string name = argv[i];
        std::string* value = name == "-pkg"       ? &arguments.package
                             : name == "-sha256"  ? &arguments.digest
                             : name == "-version" ? &arguments.version
                                                  : nullptr;
        if (value == nullptr || i + 1 >= argc || !value->empty() || argv[i + 1][0] == '\0') {
            stop(usage, "使い方: tandrel-install -pkg PACKAGE -sha256 DIGEST -version VERSION");
        }
        *value = argv[i + 1];
    }
    if (arguments.package.empty() || arguments.digest.empty() || arguments.version.empty()) {
        stop(usage, "使い方: tandrel-install -pkg PACKAGE -sha256 DIGEST -version VERSION");
    }
    return arguments;
}

// Where the helper keeps its lock, the journal of a placement under way and its work folder, unless its
// settings name another folder.
constexpr const char* standardStateFolder = "/var/lib/tandrel-install";

// What this installation of the helper trusts, from the files beside it (fixed when it was installed).
struct Settings {
    std::string team;
    std::string target;
    std::string state = standardStateFolder;
    std::string authority;
};

std::string ownFolder() {
    char path[4096];
    const ssize_t length = ::readlink("/proc/self/exe", path, sizeof path - 1);
    if (length <= 0) {
        stop(notConfigured, "この補助プログラムの場所がわかりません");
    }
    const std::string self(path, std::size_t(length));
    return self.substr(0, self.rfind('/'));
}

// The contents of a file the helper trusts: only root (or whoever runs the helper, when that is not
// root) may be able to change it or any folder above it. Checked after the read: nobody else can make a
// file or a folder root's own, or take away what others may do with it, in between.
std::string readTrusted(const std::string& path, std::uint64_t limit) {
    std::string contents;
    try {
        contents = SafeFiles::readRegularFile(path, limit);
    } catch (const SafeFiles::Failure& failure) {
        stop(notConfigured, std::string("アップデートの設定がインストールされていません: ") + failure.what());
    }
    if (const auto changeable = SafeFiles::othersCanChange(path, ::geteuid())) {
        stop(notConfigured, "アップデートの設定を管理者のほかにも書き換えられます（" + *changeable + "）");
    }
    return contents;
}

Settings readSettings() {
    const std::string folder = ownFolder();
    Settings settings;
    const auto json =
        nlohmann::json::parse(readTrusted(folder + "/" + std::string(settingsName), 65536), nullptr, false);
    if (json.is_object() && json.value("team", nlohmann::json()).is_string() &&
        json.value("target", nlohmann::json()).is_string()) {
        settings.team = json["team"].get<std::string>();
        settings.target = json["target"].get<std::string>();
    }
    if (json.is_object() && json.contains("state")) {
        settings.state = json["state"].is_string() ? json["state"].get<std::string>() : std::string();
    }
    settings.authority = readTrusted(folder + "/" + std::string(authorityName), 1 << 20);
    if (settings.team.empty() || settings.target.empty() || settings.target.front() != '/') {
        stop(notConfigured, "アップデートを受け付ける開発元（チーム）とインストール先が設定されていません");
    }
    if (settings.state.empty() || settings.state.front() != '/') {
        stop(notConfigured, "補助プログラムの作業場所が設定されていません");
    }
    return settings;
}

// The helper's own folder, which only root can enter: the lock that keeps two runs apart, the journal of a
// placement under way, and the work folder.
class StateFolder {
public:
    explicit StateFolder(std::string path)
        : path_(std::move(path)) {
        if (::mkdir(path_.c_str(), 0700) != 0 && errno != EEXIST) {
            stop(failed, path_ + ": " + std::strerror(errno));
        }
        struct stat status {};
        if (::lstat(path_.c_str(), &status) != 0 || !S_ISDIR(status.st_mode) ||
            status.st_uid != ::geteuid() || (status.st_mode & 077) != 0) {
            stop(notConfigured, path_ + ": 補助プログラムの作業場所を管理者のほかにも使えます");
        }
        if (const auto changeable = SafeFiles::othersCanChange(path_, ::geteuid())) {
            stop(notConfigured,
                 "補助プログラムの作業場所を管理者のほかにも書き換えられます（" + *changeable + "）");
        }
        lock_.reset(::open((*this / "lock").c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (!lock_) {
            stop(failed, *this / "lock" + ": " + std::strerror(errno));
        }
        // Released by the system however this run ends.
        if (::flock(lock_.get(), LOCK_EX | LOCK_NB) != 0) {
            stop(failed, errno == EWOULDBLOCK ? "ほかのアップデートのインストールがまだ終わっていません"
                                              : *this / "lock" + ": " + std::strerror(errno));
        }
    }

    std::string operator/(std::string_view name) const { return path_ + "/" + std::string(name); }

private:
    std::string path_;
    FileDescriptor lock_;
};

// The work folder in the state folder, removed with everything in it when the helper ends; one that an
// earlier run left is removed first.
class WorkFolder {
public:
    explicit WorkFolder(const StateFolder& state)
        : path_(state / "work") {
        SafeFiles::removeTree(path_);
        if (::mkdir(path_.c_str(), 0700) != 0) {
            stop(failed, std::string("作業フォルダを作れません: ") + path_ + ": " + std::strerror(errno));
        }
    }
    ~WorkFolder() { SafeFiles::removeTree(path_); }
    WorkFolder(const WorkFolder&) = delete;
    WorkFolder& operator=(const WorkFolder&) = delete;

    std::string operator/(std::string_view name) const { return path_ + "/" + std::string(name); }

private:
    std::string path_;
};

#ifdef TANDREL_INSTALL_TEST_SEAM
// Tests stop the helper at a chosen change of the target: TANDREL_INSTALL_SIGNAL_AT="N:S,S..." raises the
// signals S in turn before the N-th change (counted from 1, recovery included).
PayloadPlacement::StepHook testSeam() {
    const char* setting = std::getenv("TANDREL_INSTALL_SIGNAL_AT");
    if (setting == nullptr) {
        return {};
    }
    char* rest = nullptr;
    const long at = std::strtol(setting, &rest, 10);
    std::vector<int> signals;
    while (rest != nullptr && (*rest == ':' || *rest == ',')) {
        signals.push_back(int(std::strtol(rest + 1, &rest, 10)));
    }
    return [at, signals, count = 0L](PayloadPlacement::Step) mutable {
        if (++count == at) {
            for (const int signal : signals) {
                ::raise(signal);
            }
        }
    };
}
#else
PayloadPlacement::StepHook testSeam() {
    return {};
}
#endif

// Completes or undoes what a stopped run left in the target.
void recover(const StateFolder& state, const PayloadPlacement::StepHook& hook) {
    try {
        const auto recovery = PayloadPlacement::recover(state / "journal", hook);
        using Outcome = PayloadPlacement::Recovery::Outcome;
        if (recovery.outcome != Outcome::nothingToDo) {
            std::cerr << (recovery.outcome == Outcome::completed ? "前回中断したインストールを完了しました"
                                                                 : "前回中断したインストールを元に戻しました")
                      << std::endl;
        }
        for (const std::string& path : recovery.leftAlone) {
            std::cerr << path << ": ほかから変更されていたため、そのままにしました" << std::endl;
        }
    } catch (const PayloadPlacement::Failure& failure) {
        stop(failed, failure.what());
    }
}

// Unpacks the payload's files into `folder`, one staged file per entry, before anything reaches the
// target.
std::vector<PayloadPlacement::Item> stage(const WorkFolder& work, const Arguments& arguments) {
    const std::string folder = work / "staging";
    if (::mkdir(folder.c_str(), 0700) != 0) {
        stop(failed, folder + ": " + std::strerror(errno));
    }
    const FileDescriptor payload(::open((work / "payload").c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!payload) {
        stop(failed, "パッケージの中身を読めません");
    }
    std::vector<PayloadPlacement::Item> items;
    const auto manifest = UpdateArchive::readPayload(
        payload.get(), UpdateArchive::payloadLimits,
        [&](const UpdateArchive::Entry& entry, UpdateArchive::Contents& contents) {
            PayloadPlacement::Item item{entry, {}};
            if (entry.type == UpdateArchive::Entry::Type::file) {
                item.staged = folder + "/" + std::to_string(items.size());
                const FileDescriptor out(
                    ::open(item.staged.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
                char buffer[65536];
                std::size_t count = 0;
                while (out && (count = contents.read(buffer, sizeof buffer)) > 0) {
                    if (!writeAll(out.get(), std::string_view(buffer, count))) {
                        break;
                    }
                }
                if (!out || count > 0) {
                    stop(failed, item.staged + ": " + std::strerror(errno));
                }
            }
            items.push_back(std::move(item));
        });
    const std::int64_t build = std::strtoll(TANDREL_HELPER_BUILD, nullptr, 10);
    if (auto problem =
            ReleaseManifest::bindingProblem(manifest, arguments.version, TANDREL_HELPER_VERSION, build)) {
        stop(refused, *problem);
    }
    return items;
}

int install(int argc, char** argv) {
    const Arguments arguments = parse(argc, argv);
    const Settings settings = readSettings();
    const StateFolder state(settings.state);
    const PayloadPlacement::StepHook hook = testSeam();
    recover(state, hook);
    const WorkFolder work(state);
    std::string package;
    try {
        package = SafeFiles::readRegularFile(arguments.package, UpdateArchive::packageBytes);
    } catch (const SafeFiles::Failure& failure) {
        stop(failed, std::string("パッケージを読めません: ") + failure.what());
    }
    if (SafeFiles::sha256Hex(package) != arguments.digest) {
        stop(refused, "パッケージが、アプリの確かめたものと違います");
    }
    try {
        const auto signer = PackageTrust::verify(package, settings.authority, work / "payload");
        package.clear();
        package.shrink_to_fit();
        if (signer.team != settings.team) {
            stop(refused, "署名者がこのアプリの開発元と一致しません");
        }
    } catch (const PackageTrust::Refused& refusal) {
        stop(refused, std::string("パッケージの署名を確かめられません: ") + refusal.what());
    }
    try {
        PayloadPlacement::place(stage(work, arguments), settings.target, state / "journal", hook);
    } catch (const UpdateArchive::Refused& refusal) {
        stop(refused, std::string("パッケージの中身をインストールできません: ") + refusal.what());
    } catch (const PayloadPlacement::Failure& failure) {
        stop(failed, std::string("インストールできません: ") + failure.what());
    }
    return installed;
}

// Nothing from the terminal or the session the helper was started from may stop it half-way: it ignores
// their signals and leads a session of its own. A process group leader cannot start one, so it then goes
// on in a child that can, and passes the child's status on. SIGCHLD is taken back from whatever the
// starter left it at: ignored, the child would leave no status to wait for.
void leaveTheTerminal() {
    for (const int signal : {SIGINT, SIGHUP, SIGQUIT, SIGTSTP, SIGTTIN, SIGTTOU, SIGPIPE}) {
        std::signal(signal, SIG_IGN);
    }
    std::signal(SIGCHLD, SIG_DFL);
    if (::getsid(0) == ::getpid() || ::setsid() >= 0) {
        return;
    }
    const pid_t child = ::fork();
    if (child < 0) {
        return;
    }
    if (child == 0) {
        ::setsid();
        return;
    }
    int status = 0;
    pid_t waited = -1;
    while ((waited = ::waitpid(child, &status, 0)) < 0 && errno == EINTR) {
    }
    std::_Exit(waited == child && WIFEXITED(status) ? WEXITSTATUS(status) : failed);
}

} // namespace

int main(int argc, char** argv) {
    ::umask(022);
    leaveTheTerminal();
    try {
        return install(argc, argv);
    } catch (const Stop& stopped) {
        std::cerr << stopped.reason << std::endl;
        return stopped.status;
    } catch (const std::exception& failure) {
        std::cerr << failure.what() << std::endl;
        return failed;
    }
}
