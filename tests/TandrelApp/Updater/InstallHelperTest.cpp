#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include "TandrelApp/Updater/Package/FileDescriptor.h"
#include "TandrelApp/Updater/Package/PayloadPlacement.h"
#include "TandrelApp/Updater/Package/SafeFiles.h"
#include "UpdaterTestSupport.h"

// The installer helper run as the elevator runs it, with a payload laid out on disk: what it may and may
// not do to the folder it installs into.
namespace {

bool runningAsRoot() {
    return ::geteuid() == 0;
}

void write(const QString& path, const QByteArray& contents) {
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(contents);
}

void chmod(const QString& path, mode_t mode) {
    ASSERT_EQ(::chmod(QFile::encodeName(path), mode), 0) << path.toStdString();
}

mode_t modeOf(const QString& path) {
    struct stat status {};
    return ::lstat(QFile::encodeName(path), &status) == 0 ? status.st_mode & 07777 : 0;
}

class InstallHelperTest : public ::testing::Test {
protected:
    // Packs and signs the payload laid out in `payload` and has the helper install it.
    CommandResult install(const QString& payload, const QStringList& tarArguments = {}) {
        return signing.runHelper(tools, signing.packageOf(payload, "TEAMA", "2.0", tarArguments), "2.0");
    }

    UpdateSigning& signing = UpdateSigning::shared();
    QTemporaryDir target;
    UpdateTools tools = signing.tools(target.path());
};

// The archive's own top ("./") and the folders the target already has are never re-moded; a folder the
// payload brings is made.
TEST_F(InstallHelperTest, FoldersThatAlreadyExistKeepTheirModes) {
    chmod(target.path(), 0755);
    write(target.path() + "/opt/keep", "mine");
    chmod(target.path() + "/opt", 0775);
    const QString payload = signing.newFolder();
    write(payload + "/opt/corvane/VERSION", "2.0\n");
    chmod(payload + "/opt", 0700);
    chmod(payload, 0700);

    const CommandResult result = install(payload);
    ASSERT_EQ(result.status, 0) << result.output;
    EXPECT_EQ(modeOf(target.path()), 0755u);
    EXPECT_EQ(modeOf(target.path() + "/opt"), 0775u);
    EXPECT_EQ(modeOf(target.path() + "/opt/corvane"), 0755u);
    EXPECT_EQ(modeOf(target.path() + "/opt/corvane/VERSION"), 0644u);
    EXPECT_FALSE(QFile::exists(target.path() + "/CorvaneRelease.json"));
}

// Long names, as GNU tar, POSIX ustar and pax archives each write them, and symlinks inside the payload.
TEST_F(InstallHelperTest, LongNamesOfEveryTarFormatAreInstalled) {
    const QString deep = "opt/corvane/" + QString(60, 'a') + "/" + QString(60, 'b') + "/" + QString(40, 'c');
    for (const char* format : {"gnu", "ustar", "pax"}) {
        SCOPED_TRACE(format);
        QTemporaryDir folder;
        tools = signing.tools(folder.path());
        const QString payload = signing.newFolder();
        write(payload + "/" + deep, format);
        QFile::link(QString(40, 'c'), payload + "/" + QFileInfo(deep).path() + "/current");
        const CommandResult result = install(payload, {QStringLiteral("--format=") + format});
        ASSERT_EQ(result.status, 0) << result.output;
        QFile installed(folder.path() + "/" + deep);
        ASSERT_TRUE(installed.open(QIODevice::ReadOnly));
        EXPECT_EQ(installed.readAll(), QByteArray(format));
        EXPECT_EQ(QFileInfo(folder.path() + "/" + QFileInfo(deep).path() + "/current").symLinkTarget(),
                  installed.fileName());
    }
}

// A symlink that someone planted in a folder of the target is never followed: not on the way to a file
// (the install fails and nothing changes), and not as the file itself (the link is replaced, what it
// pointed at stays as it was).
TEST_F(InstallHelperTest, APlantedSymlinkIsNeverFollowed) {
    QTemporaryDir outside;
    write(outside.path() + "/victim", "theirs");
    QDir().mkpath(target.path() + "/home/user");
    chmod(target.path() + "/home/user", 0777);
    QFile::link(outside.path(), target.path() + "/home/user/link");
    QFile::link(outside.path() + "/victim", target.path() + "/home/user/file");
    const auto before = snapshot(target.path());

    // Only the file is named below the link; the archive has no folder entry for the link's name.
    const QString through = signing.newFolder();
    write(through + "/home/user/elsewhere/evil", "ours");
    const CommandResult refused =
        install(through, {"--transform", "s,^\\./home/user/elsewhere/evil,./home/user/link/evil,"});
    EXPECT_NE(refused.status, 0);
    EXPECT_NE(refused.output.find("すでにあるシンボリックリンクはたどりません"), std::string::npos)
        << refused.output;
    EXPECT_EQ(snapshot(target.path()), before);

    const QString over = signing.newFolder();
    write(over + "/home/user/file", "ours");
    const CommandResult replaced = install(over);
    ASSERT_EQ(replaced.status, 0) << replaced.output;
    EXPECT_FALSE(QFileInfo(target.path() + "/home/user/file").isSymLink());
    EXPECT_EQ(snapshot(outside.path()).at("victim").endsWith(" theirs"), true);
    EXPECT_EQ(QDir(outside.path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries), QStringList{"victim"});
}

// Entries that are not plain files, folders or symlinks inside the payload, and names that reach out of
// it, are refused before anything reaches the target.
TEST_F(InstallHelperTest, SpecialEntriesAreRefusedBeforeTheTargetIsTouched) {
    struct Case {
        const char* name;
        bool needsRoot;
        std::function<void(const QString& payload)> layOut;
        QStringList tarArguments;
        const char* reason;
    };
    const auto file = [](const QString& payload, const char* name) {
        write(payload + "/opt/corvane/" + name, "x");
        return payload + "/opt/corvane/" + name;
    };
    const Case cases[] = {
        {"a setuid file", true, [&](const QString& p) { chmod(file(p, "tool"), 04755); }, {}, "setuid"},
        {"a setgid folder",
         true,
         [&](const QString& p) { chmod(QFileInfo(file(p, "x")).path(), 02755); },
         {},
         "setgid"},
        {"a device node",
         true,
         [](const QString& p) { ::mknod(QFile::encodeName(p + "/null"), S_IFCHR | 0666, makedev(1, 3)); },
         {},
         "デバイスファイル"},
        {"a pipe",
         false,
         [](const QString& p) { ::mkfifo(QFile::encodeName(p + "/fifo"), 0644); },
         {},
         "名前付きパイプ"},
        {"a hard link",
         false,
         [&](const QString& p) {
             ::link(QFile::encodeName(file(p, "a")), QFile::encodeName(p + "/opt/corvane/b"));
         },
         {},
         "ハードリンク"},
        {"a symlink out of the payload",
         false,
         [](const QString& p) { QFile::link("/etc/passwd", p + "/passwd"); },
         {},
         "指さないシンボリックリンク"},
        {"a name with ..",
         false,
         [&](const QString& p) { file(p, "x"); },
         {"-P", "--transform", "s,^\\./opt,../escape,"},
         "「..」"},
        {"an absolute name",
         false,
         [&](const QString& p) { file(p, "x"); },
         {"-P", "--transform", "s,^\\./opt,/escape,"},
         "絶対パス"},
    };
    const auto before = snapshot(target.path());
    for (const auto& special : cases) {
        SCOPED_TRACE(special.name);
        if (special.needsRoot && !runningAsRoot()) {
            std::cout << "[ SKIPPED  ] " << special.name << ": needs root to be made and to be dangerous\n";
            continue;
        }
        const QString payload = signing.newFolder();
        special.layOut(payload);
        const CommandResult result = install(payload, special.tarArguments);
        EXPECT_EQ(result.status, 66) << result.output;
        EXPECT_NE(result.output.find(special.reason), std::string::npos) << result.output;
        EXPECT_EQ(snapshot(target.path()), before);
    }
}

// An install that fails at any point leaves the target as it was: a damaged payload, a conflict found
// late, a step that fails while the files are swapped in.
TEST_F(InstallHelperTest, AFailedInstallLeavesTheTargetAsItWas) {
    write(target.path() + "/opt/corvane/VERSION", "1.0\n");
    QDir().mkpath(target.path() + "/zz/thing");
    const auto before = snapshot(target.path());
    const auto payload = [this] {
        const QString folder = signing.newFolder();
        write(folder + "/opt/corvane/VERSION", "2.0\n");
        write(folder + "/opt/corvane/lib/new", "2.0\n");
        return folder;
    };

    const QString damaged = payload();
    write(damaged + "/CorvaneRelease.json", R"({"version":"2.0"})");
    QByteArray packed = signing.tarGz(damaged);
    packed.chop(40);
    const CommandResult truncated = signing.runHelper(tools, signing.sign(packed, "TEAMA"), "2.0");
    EXPECT_NE(truncated.status, 0);
    EXPECT_EQ(snapshot(target.path()), before);

    const QString conflicting = payload();
    write(conflicting + "/zz/thing", "a file where a folder is");
    const CommandResult conflict = install(conflicting);
    EXPECT_NE(conflict.status, 0);
    EXPECT_NE(conflict.output.find("zz/thing"), std::string::npos) << conflict.output;
    EXPECT_EQ(snapshot(target.path()), before);

    // Every swap done before the failing one is taken back.
    const QString staged = signing.newFolder();
    write(staged + "/0", "2.0\n");
    using UpdateArchive::Entry;
    const std::vector<PayloadPlacement::Item> items{
        {{Entry::Type::folder, "opt/corvane/lib", 0755, 0, {}}, {}},
        {{Entry::Type::file, "opt/corvane/lib/new", 0644, 4, {}}, (staged + "/0").toStdString()},
        {{Entry::Type::file, "opt/corvane/VERSION", 0644, 4, {}}, (staged + "/0").toStdString()},
        {{Entry::Type::symlink, "opt/corvane/current", 0777, 0, "VERSION"}, {}},
    };
    int swaps = 0;
    QTemporaryDir state;
    const QString journal = state.path() + "/journal";
    EXPECT_THROW(PayloadPlacement::place(items, target.path().toStdString(), journal.toStdString(),
                                         [&swaps](PayloadPlacement::Step step) {
                                             if (step == PayloadPlacement::Step::swap && ++swaps == 3) {
                                                 throw std::runtime_error("the disk went away");
                                             }
                                         }),
                 PayloadPlacement::Failure);
    EXPECT_EQ(swaps, 3);
    EXPECT_EQ(snapshot(target.path()), before);
    EXPECT_FALSE(QFile::exists(journal));
}

// A copy of the helper beside the installed one (same settings, same state) that raises the signals `raised`
// on itself before its `step`-th change of the target; its status, or -1 when it did not end.
int runInterruptible(const UpdateTools& tools, const QString& package, const std::string& digest, int step,
                     const QString& raised) {
    const QString helper = QFileInfo(QString::fromStdString(tools.installer)).path() + "/interruptible";
    if (!QFile::exists(helper)) {
        QFile::copy(QStringLiteral(TANDREL_INTERRUPTIBLE_HELPER), helper);
    }
    QProcess run;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("TANDREL_INSTALL_SIGNAL_AT", QString::number(step) + ":" + raised);
    run.setProcessEnvironment(environment);
    run.start(helper, {"-pkg", package, "-sha256", QString::fromStdString(digest), "-version", "2.0"});
    if (!run.waitForFinished(30000)) {
        run.kill();
        run.waitForFinished();
        return -1;
    }
    return run.exitStatus() == QProcess::CrashExit ? 128 + SIGKILL : run.exitCode();
}

// What a stopped run may leave: temporaries in the target, the helper's work folder and journal.
QStringList leftovers(const QString& target, const UpdateTools& tools) {
    QStringList found;
    QDirIterator entries(target, {".tandrel-*"}, QDir::AllEntries | QDir::Hidden | QDir::System,
                         QDirIterator::Subdirectories);
    while (entries.hasNext()) {
        found << entries.next();
    }
    const QString state = QFileInfo(QString::fromStdString(tools.installer)).path() + "/state";
    for (const char* name : {"work", "journal", "journal.new"}) {
        if (QFileInfo::exists(state + "/" + name)) {
            found << state + "/" + QString::fromLatin1(name);
        }
    }
    return found;
}

class InterruptedInstallTest : public InstallHelperTest {
protected:
    // The target before: a file and a symlink the package replaces, a file it leaves alone.
    void layOutTarget() {
        QDir(root).removeRecursively();
        write(root + "/opt/corvane/VERSION", "1.0\n");
        write(root + "/opt/corvane/lib/a", "old a");
        write(root + "/opt/keep", "mine");
        QFile::link("VERSION", root + "/opt/corvane/current");
    }

    QByteArray package() {
        const QString payload = signing.newFolder();
        write(payload + "/opt/corvane/VERSION", "2.0\n");
        write(payload + "/opt/corvane/lib/a", "new a");
        write(payload + "/opt/corvane/lib/b", "new b");
        write(payload + "/opt/corvane/share/new/x", "x");
        write(payload + "/opt/corvane/share/new/y", "y");
        QFile::link("lib/b", payload + "/opt/corvane/current");
        return signing.packageOf(payload);
    }

    const QString root = target.path() + "/root";
    UpdateTools rootTools = signing.tools(root);
};

// The helper stopped dead before any one of its changes, as a kill, a crash or a power loss stops it: the
// next run, even one that then refuses its package, leaves the target exactly as it was or exactly as the
// package says, and nothing of the stopped run behind.
TEST_F(InterruptedInstallTest, TheNextRunCompletesOrUndoesIt) {
    layOutTarget();
    const auto before = snapshot(root);
    const QByteArray packed = package();
    const QString path = signing.newFolder() + "/CorvaneUpdate.pkg";
    write(path, packed);
    const std::string digest = SafeFiles::sha256Hex(std::string_view(packed.constData(), packed.size()));
    ASSERT_EQ(signing.runHelper(rootTools, packed, "2.0").status, 0);
    const auto after = snapshot(root);
    ASSERT_NE(after, before);

    int undone = 0;
    int completed = 0;
    for (int step = 1;; ++step) {
        SCOPED_TRACE("stopped before change " + std::to_string(step));
        ASSERT_LT(step, 200);
        layOutTarget();
        const int status = runInterruptible(rootTools, path, digest, step, "9");
        if (status == 0) {
            EXPECT_EQ(snapshot(root), after);
            break;
        }
        ASSERT_EQ(status, 128 + SIGKILL);
        // A wrong digest: the run recovers, then refuses the package.
        const CommandResult next =
            UpdateToolRunner::runSync(rootTools.installer, {"-pkg", path.toStdString(), "-sha256",
                                                            std::string(64, '0'), "-version", "2.0"});
        ASSERT_EQ(next.status, 66) << next.output;
        const auto now = snapshot(root);
        EXPECT_TRUE(now == before || now == after);
        undone += now == before;
        completed += now == after;
        EXPECT_EQ(leftovers(root, rootTools), QStringList());
    }
    EXPECT_GT(undone, 0);
    EXPECT_GT(completed, 0);

    // While one run holds the state folder, another one does nothing at all.
    layOutTarget();
    const QString lock = QFileInfo(QString::fromStdString(rootTools.installer)).path() + "/state/lock";
    const FileDescriptor held(::open(QFile::encodeName(lock), O_RDWR));
    ASSERT_EQ(::flock(held.get(), LOCK_EX), 0);
    const CommandResult overlapping = signing.runHelper(rootTools, packed, "2.0");
    EXPECT_EQ(overlapping.status, 67);
    EXPECT_NE(overlapping.output.find("まだ終わっていません"), std::string::npos) << overlapping.output;
    EXPECT_EQ(snapshot(root), before);
}

// Control-C, a closed terminal, a quit key or a stop key while the files are swapped in change nothing:
// the install goes on to its end.
TEST_F(InterruptedInstallTest, TheTerminalsSignalsDoNotStopIt) {
    layOutTarget();
    const QByteArray packed = package();
    const QString path = signing.newFolder() + "/CorvaneUpdate.pkg";
    write(path, packed);
    const std::string digest = SafeFiles::sha256Hex(std::string_view(packed.constData(), packed.size()));
    const QString raised = QStringLiteral("%1,%2,%3,%4").arg(SIGINT).arg(SIGHUP).arg(SIGQUIT).arg(SIGTSTP);
    // The changes: the journal, two folders, six files, four folders synced, the journal again, the swaps.
    EXPECT_EQ(runInterruptible(rootTools, path, digest, 17, raised), 0);
    EXPECT_EQ(QFile::symLinkTarget(root + "/opt/corvane/current"), root + "/opt/corvane/lib/b");
    EXPECT_EQ(leftovers(root, rootTools), QStringList());
}

// Started as the leader of a process group (as a shell starts a job), the helper goes on in a child of
// its own session; the child's status is what it reports, even when it was started with SIGCHLD ignored,
// which would leave nothing to wait for.
TEST_F(InstallHelperTest, AFailureIsReportedWhateverTheProcessGroupAndSignalsItStartsWith) {
    const std::string helper = tools.installer;
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::setpgid(0, 0);
        ::signal(SIGCHLD, SIG_IGN);
        ::execl(helper.c_str(), helper.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 64) << "no arguments: the usage status";
}

// Settings and an authority that someone besides root could have changed are not trusted: the helper
// says so and installs nothing.
TEST_F(InstallHelperTest, OnlySettingsAndAnAuthorityThatOnlyRootCanChangeAreTrusted) {
    struct Case {
        const char* name;
        bool needsRoot;
        std::function<void(const QString& helperFolder)> spoil;
    };
    const auto other = [](const QString& path) {
        ASSERT_EQ(::chown(QFile::encodeName(path), 65534, 65534), 0);
    };
    const Case cases[] = {
        {"settings the group can write", false,
         [](const QString& f) {
             chmod(f + "/tandrel-install.json", 0664);
         }},
        {"an authority others can write", false,
         [](const QString& f) {
             chmod(f + "/update-ca.pem", 0646);
         }},
        {"a folder others can write", false,
         [](const QString& f) {
             chmod(f, 0777);
         }},
        {"settings of another user", true,
         [&](const QString& f) {
             other(f + "/tandrel-install.json");
         }},
        {"an authority of another user", true,
         [&](const QString& f) {
             other(f + "/update-ca.pem");
         }},
    };
    const QByteArray packed = signing.package({{"opt/corvane/VERSION", "2.0\n"}}, "TEAMA");
    for (const auto& spoiled : cases) {
        SCOPED_TRACE(spoiled.name);
        if (spoiled.needsRoot && !runningAsRoot()) {
            std::cout << "[ SKIPPED  ] " << spoiled.name << ": needs root to give a file to another user\n";
            continue;
        }
        tools = signing.tools(target.path());
        spoiled.spoil(QFileInfo(QString::fromStdString(tools.installer)).path());
        const CommandResult result = signing.runHelper(tools, packed, "2.0");
        EXPECT_EQ(result.status, 65) << result.output;
        EXPECT_NE(result.output.find("管理者のほかにも書き換えられます"), std::string::npos) << result.output;
        EXPECT_TRUE(QDir(target.path()).isEmpty());
    }
}

} // namespace
