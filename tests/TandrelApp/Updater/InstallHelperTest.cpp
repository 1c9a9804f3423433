#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include "TandrelApp/Updater/Package/PayloadPlacement.h"
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
    EXPECT_THROW(PayloadPlacement::place(items, target.path().toStdString(),
                                         [&swaps] {
                                             if (++swaps == 3) {
                                                 throw std::runtime_error("the disk went away");
                                             }
                                         }),
                 PayloadPlacement::Failure);
    EXPECT_EQ(swaps, 3);
    EXPECT_EQ(snapshot(target.path()), before);
}

} // namespace
