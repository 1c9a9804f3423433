#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <random>

#include <sys/mman.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include "TandrelApp/Updater/Package/FileDescriptor.h"
#include "TandrelApp/Updater/Package/UpdateArchive.h"
#include "TarWriter.h"

// The reader the application and the installer helper check archives with: what it hands over is what
// placement can make exactly, inside the payload.
namespace {

using UpdateArchive::Entry;
using namespace std::string_literals;

constexpr UpdateArchive::Limits roomy{1 << 20, 1000};

FileDescriptor inMemory(const std::string& bytes) {
    FileDescriptor fd(::memfd_create("archive", MFD_CLOEXEC));
    writeAll(fd.get(), bytes);
    ::lseek(fd.get(), 0, SEEK_SET);
    return fd;
}

// The entries of the payload `archive`, or why it was refused.
struct Read {
    std::vector<Entry> entries;
    std::string refusal;
};

Read readPayload(const TarWriter& archive, const UpdateArchive::Limits& limits = roomy) {
    Read read;
    try {
        UpdateArchive::readPayload(
            inMemory(archive.tarGz()).get(), limits,
            [&read](const Entry& entry, UpdateArchive::Contents&) { read.entries.push_back(entry); });
    } catch (const UpdateArchive::Refused& refusal) {
        read.refusal = refusal.what();
    }
    return read;
}

std::string refusalOfImage(const TarWriter& archive, const UpdateArchive::Limits& limits) {
    try {
        UpdateArchive::readImage(inMemory(archive.tar()).get(), limits,
                                 [](const Entry&, UpdateArchive::Contents&) {});
    } catch (const UpdateArchive::Refused& refusal) {
        return refusal.what();
    }
    return {};
}

TEST(UpdateArchive, ANameOrALinkWithANulIsRefused) {
    TarWriter escaping;
    escaping.pax({{"path", "..\0/..\0/..\0/ESCAPED"s}}).file("placeholder", "x");
    TarWriter linking;
    linking.folder("etc").pax({{"linkpath", "etc\0/../../.."s}}).symlink("l", "etc");
    TarWriter twice;
    twice.file("a", "1").pax({{"path", "a\0x"s}}).file("placeholder", "2");
    TarWriter gnu;
    gnu.entry('L', "././@LongLink", "ok\0/../../ESCAPED\0"s, 18).file("placeholder", "x");
    for (const TarWriter* archive : {&escaping, &linking, &twice, &gnu}) {
        const Read read = readPayload(*archive);
        EXPECT_NE(read.refusal.find("NUL"), std::string::npos) << read.refusal;
    }
}

TEST(UpdateArchive, ALinkIsFollowedThroughThePayloadsLinksAsTheFileSystemFollowsIt) {
    // Read as text, u points at etc inside; through s it is the folder above the payload's top.
    TarWriter chain;
    chain.folder("a").folder("a/b").folder("a/b/c").folder("x").folder("etc");
    chain.symlink("a/b/c/s", "../../../x").symlink("a/b/c/u", "s/../../../../etc");
    EXPECT_NE(readPayload(chain).refusal.find("a/b/c/u -> s/../../../../etc"), std::string::npos);

    TarWriter loop;
    loop.symlink("l", "m").symlink("m", "l");
    EXPECT_NE(readPayload(loop).refusal.find("指さないシンボリックリンク"), std::string::npos);

    TarWriter throughAFile;
    throughAFile.file("f", "x").symlink("l", "f/.");
    EXPECT_NE(readPayload(throughAFile).refusal.find("指さないシンボリックリンク"), std::string::npos);

    TarWriter fine;
    fine.file("lib/libx.so.1.2", "x")
        .symlink("lib/libx.so.1", "libx.so.1.2")
        .symlink("libx", "lib/libx.so.1");
    fine.symlink("lib/self", "../lib");
    const Read read = readPayload(fine);
    EXPECT_EQ(read.refusal, "");
    EXPECT_EQ(read.entries.size(), 4u);
}

TEST(UpdateArchive, TheFoldersANameImpliesCountAsEntriesAndANameIsAtMost128Deep) {
    const UpdateArchive::Limits three{1 << 20, 3};
    EXPECT_EQ(refusalOfImage(TarWriter().file("d/d/f", "x"), three), "");
    EXPECT_EQ(refusalOfImage(TarWriter().file("d/d/d/f", "x"), three), "項目が多すぎます（上限 3）");
    // An explicit folder after the folder a name implied is the same folder, counted once.
    EXPECT_EQ(refusalOfImage(TarWriter().file("d/d/f", "x").folder("d/d"), three), "");

    std::string deep;
    for (int i = 0; i < 128; ++i) {
        deep += "d/";
    }
    TarWriter tooDeep;
    tooDeep.pax({{"path", deep + "f"}}).file("placeholder", "x");
    EXPECT_NE(refusalOfImage(tooDeep, UpdateArchive::payloadLimits).find("フォルダが深すぎます（上限 128）"),
              std::string::npos);
}

// Archives made at random: whatever the reader accepts is a tree the file system holds exactly as the
// reader saw it, with no link leading out of it.
TEST(UpdateArchive, WhatTheReaderAcceptsStaysInsideThePayload) {
    const std::vector<std::string> names{"a", "b", "c", "d"};
    // Now and then a component no name may have.
    const std::vector<std::string> wrong{".", "..", "", "a\0b"s};
    const std::vector<std::string> linkParts{"a", "b", "c", "d", "..", "..", ".", ""};
    int accepted = 0;
    int acceptedLinks = 0;
    for (unsigned seed = 1; seed <= 3000; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        std::mt19937 random(seed);
        const auto pick = [&](const std::vector<std::string>& from, int most, bool spoil) {
            std::string name;
            const int count = 1 + int(random() % unsigned(most));
            for (int i = 0; i < count; ++i) {
                const bool odd = spoil && random() % 25 == 0;
                name += (i == 0 ? "" : "/") +
                        (odd ? wrong[random() % wrong.size()] : from[random() % from.size()]);
            }
            return name;
        };
        TarWriter archive;
        const int count = 1 + int(random() % 6);
        for (int i = 0; i < count; ++i) {
            const std::string name = pick(names, 3, true);
            const bool viaPax = random() % 3 == 0 || name.find('\0') != std::string::npos;
            const std::string header = viaPax ? "placeholder" : name;
            if (viaPax) {
                archive.pax({{"path", name}});
            }
            switch (random() % 3) {
            case 0:
                archive.file(header, std::string(random() % 1500, 'x'));
                break;
            case 1:
                archive.folder(header);
                break;
            default:
                archive.symlink(header, random() % 8 == 0 ? "/" + pick(linkParts, 3, false)
                                                          : pick(linkParts, 4, false));
            }
        }

        std::vector<Entry> entries;
        try {
            UpdateArchive::readPayload(inMemory(archive.tarGz()).get(), roomy,
                                       [&](const Entry& entry, UpdateArchive::Contents& contents) {
                                           char buffer[700];
                                           std::uint64_t read = 0;
                                           for (std::size_t got = 0;
                                                (got = contents.read(buffer, sizeof buffer)) > 0;) {
                                               read += got;
                                           }
                                           EXPECT_EQ(read, entry.size) << entry.path;
                                           entries.push_back(entry);
                                       });
        } catch (const UpdateArchive::Refused&) {
            continue;
        }
        ++accepted;

        QTemporaryDir folder;
        const std::string top = folder.path().toStdString();
        for (const Entry& entry : entries) {
            const auto names = UpdateArchive::components(entry.path);
            EXPECT_LE(names.size(), UpdateArchive::maximumDepth);
            for (const std::string& name : names) {
                EXPECT_TRUE(!name.empty() && name != "." && name != ".." &&
                            name.find('\0') == std::string::npos)
                    << entry.path;
            }
            const QString path = QString::fromStdString(top + "/" + entry.path);
            QDir().mkpath(entry.type == Entry::Type::folder ? path : QFileInfo(path).path());
        }
        for (const Entry& entry : entries) {
            const QString path = QString::fromStdString(top + "/" + entry.path);
            if (entry.type == Entry::Type::file) {
                QFile(path).open(QIODevice::WriteOnly);
            } else if (entry.type == Entry::Type::symlink) {
                ASSERT_EQ(::symlink(entry.linkTarget.c_str(), QFile::encodeName(path).constData()), 0);
            }
        }
        char real[PATH_MAX];
        ASSERT_NE(::realpath(top.c_str(), real), nullptr);
        const std::string inside = std::string(real) + "/";
        for (const Entry& entry : entries) {
            if (entry.type != Entry::Type::symlink) {
                continue;
            }
            ++acceptedLinks;
            char end[PATH_MAX];
            ASSERT_NE(::realpath((top + "/" + entry.path).c_str(), end), nullptr)
                << entry.path << " -> " << entry.linkTarget;
            EXPECT_EQ(std::string(end).rfind(inside, 0), 0u) << entry.path << " -> " << entry.linkTarget;
        }
    }
    EXPECT_GT(accepted, 500);
    EXPECT_GT(acceptedLinks, 50);
    std::cout << accepted << " of 3000 archives accepted, with " << acceptedLinks << " links\n";
}

} // namespace
