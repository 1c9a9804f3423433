// tandrel-install, Corvane's installer helper. The elevator runs it as root:
//   tandrel-install -pkg PACKAGE -sha256 DIGEST -version VERSION
// It reads the package once, checks that it is the package the application checked (its digest), that
// it is signed for our team under the authority installed beside this program, and that it holds the
// release asked for and a newer one than the program installed; then it unpacks the payload into a
// folder only root can enter, refusing anything that is not a plain file, a folder or a symlink inside
// the payload, and puts it in place all or nothing. Anything it refuses or fails at is written to
// standard error and ends it with its own exit status; the target is then as it was.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
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

// What this installation of the helper trusts, from the files beside it (fixed when it was installed).
struct Settings {
    std::string team;
    std::string target;
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

Settings readSettings() {
    const std::string folder = ownFolder();
    Settings settings;
    try {
        const auto json = nlohmann::json::parse(
            SafeFiles::readRegularFile(folder + "/" + std::string(settingsName), 65536), nullptr, false);
        if (json.is_object() && json.value("team", nlohmann::json()).is_string() &&
            json.value("target", nlohmann::json()).is_string()) {
            settings.team = json["team"].get<std::string>();
            settings.target = json["target"].get<std::string>();
        }
        settings.authority = SafeFiles::readRegularFile(folder + "/" + std::string(authorityName), 1 << 20);
    } catch (const SafeFiles::Failure& failure) {
        stop(notConfigured, std::string("アップデートの設定がインストールされていません: ") + failure.what());
    }
    if (settings.team.empty() || settings.target.empty() || settings.target.front() != '/') {
        stop(notConfigured, "アップデートを受け付ける開発元（チーム）とインストール先が設定されていません");
    }
    return settings;
}

// A folder only root can enter, removed with everything in it when the helper ends.
class WorkFolder {
public:
    WorkFolder() {
        // Not /tmp first: it is often a small file system in memory, and a payload may be large.
        for (const char* parent : {"/var/tmp", "/tmp"}) {
            std::string pattern = std::string(parent) + "/tandrel-install-XXXXXX";
            if (::mkdtemp(pattern.data()) != nullptr) {
                path_ = pattern;
                return;
            }
        }
        stop(failed, std::string("作業フォルダを作れません: ") + std::strerror(errno));
    }
    ~WorkFolder() { SafeFiles::removeTree(path_); }
    WorkFolder(const WorkFolder&) = delete;
    WorkFolder& operator=(const WorkFolder&) = delete;

    std::string operator/(std::string_view name) const { return path_ + "/" + std::string(name); }

private:
    std::string path_;
};

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
    const WorkFolder work;
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
        PayloadPlacement::place(stage(work, arguments), settings.target);
    } catch (const UpdateArchive::Refused& refusal) {
        stop(refused, std::string("パッケージの中身をインストールできません: ") + refusal.what());
    } catch (const PayloadPlacement::Failure& failure) {
        stop(failed, std::string("インストールできません: ") + failure.what());
    }
    return installed;
}

} // namespace

int main(int argc, char** argv) {
    ::umask(022);
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
