#include <csignal>
#include <ctime>
#include <functional>

#include <QByteArray>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include "TemporaryDataHome.h"
#include <nlohmann/json.hpp>
#include <sys/resource.h>

#include "TandrelApp/Routing/RoutingConfigStore.h"

namespace {

// Points the application-support folder at a fresh temporary directory for each test, so the real
// user's configuration is never touched.
class RoutingConfigStoreTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(home_.isValid()); }

    QString folder() const { return home_.path() + "/TandrelApp"; }

    QStringList files() const { return QDir(folder()).entryList(QDir::Files | QDir::Hidden, QDir::Name); }

    static QByteArray contents(const QString& path) {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    static void write(const QString& path, const QByteArray& bytes) {
        QDir().mkpath(QFileInfo(path).absolutePath());
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(bytes);
    }

    static RoutingConfig sampleConfig(int sources) {
        RoutingConfig config;
        for (int i = 0; i < sources; ++i) {
            SourceConfig source;
            source.id = UUID::random();
            source.kind = SourceKind::application("com.example.app" + std::to_string(i));
            source.name = "アプリ " + std::to_string(i);
            source.channelDB = {{1, -3.5f}, {10, 2.0f}};
            config.sources.push_back(source);
        }
        config.monitorDeviceUIDs = {"Speakers"};
        config.deviceVolumes["Speakers"].pairDB[2] = -6.0f;
        return config;
    }

    // Runs `body` with file writes limited to `bytes`, as when a disk fills up during a save.
    static void withWriteLimit(rlim_t bytes, const std::function<void()>& body) {
        rlimit saved{};
        getrlimit(RLIMIT_FSIZE, &saved);
        auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit limited = saved;
        limited.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &limited);
        body();
        setrlimit(RLIMIT_FSIZE, &saved);
        std::signal(SIGXFSZ, previousHandler);
    }

    TemporaryDataHome home_;
};

// Checks that every object's keys appear in sorted order in the written text.
void expectSortedKeys(const nlohmann::ordered_json& value) {
    if (value.is_object()) {
        std::string previous;
        for (const auto& [key, member] : value.items()) {
            EXPECT_LT(previous, key);
            previous = key;
            expectSortedKeys(member);
        }
    } else if (value.is_array()) {
        for (const auto& element : value) {
            expectSortedKeys(element);
        }
    }
}

} // namespace

TEST_F(RoutingConfigStoreTest, FileLivesInTheApplicationSupportFolder) {
    EXPECT_EQ(RoutingConfigStore::url(), home_.path() + "/TandrelApp/routing.json");
}

TEST_F(RoutingConfigStoreTest, SaveCreatesTheFolderAndLoadReadsItBack) {
    RoutingConfig config = sampleConfig(3);
    RoutingConfigStore::save(config);
    ASSERT_TRUE(QFileInfo::exists(RoutingConfigStore::url()));
    EXPECT_EQ(RoutingConfigStore::load(), config);
    EXPECT_EQ(files(), QStringList{"routing.json"});
}

TEST_F(RoutingConfigStoreTest, FileIsPrettyPrintedWithSortedKeysAtEveryLevel) {
    RoutingConfigStore::save(sampleConfig(2));
    QByteArray text = contents(RoutingConfigStore::url());
    EXPECT_GT(text.count('\n'), 20);
    EXPECT_TRUE(text.contains("\n  \"autoAdd\": {"));
    expectSortedKeys(nlohmann::ordered_json::parse(text.toStdString()));
}

TEST_F(RoutingConfigStoreTest, HandWrittenFileLoads) {
    write(RoutingConfigStore::url(), R"({
      "sources": [{"id": "6F1C2A44-0B7E-4D55-9C39-1E2F3A4B5C6D", "kind": {"inputDevice": {"uid": "Mic"}},
                   "name": "マイク", "channelDB": {"1": -6}}],
      "connections": [{"id": "a0b1c2d3-e4f5-4607-8819-2a3b4c5d6e7f", "pair": 2, "toDeviceUID": "Speakers",
                       "from": {"source": {"_0": "6F1C2A44-0B7E-4D55-9C39-1E2F3A4B5C6D"}}, "routeMask": 6}],
      "latency": "low", "comment": "written by hand"
    })");
    RoutingConfig config = RoutingConfigStore::load();
    ASSERT_EQ(config.sources.size(), 1u);
    EXPECT_EQ(config.sources[0].kind, SourceKind::inputDevice("Mic"));
    EXPECT_EQ(config.sources[0].channelDB.at(1), -6.0f);
    ASSERT_EQ(config.connections.size(), 1u);
    EXPECT_EQ(config.connections[0].routeMask, 6);
    EXPECT_EQ(config.latency, LatencyPreset::low);
    EXPECT_EQ(files(), QStringList{"routing.json"});
}

TEST_F(RoutingConfigStoreTest, MissingFileGivesTheDefaultAndCreatesNothing) {
    EXPECT_EQ(RoutingConfigStore::load(), RoutingConfig());
    EXPECT_FALSE(QFileInfo::exists(folder()));
}

TEST_F(RoutingConfigStoreTest, UnreadableFileIsMovedAsideAndNeverOverwritten) {
    const QByteArray damaged =
        R"({"sources": [{"id": "not a uuid", "kind": {"systemAudio": {}}, "name": "x"}]})";
    write(RoutingConfigStore::url(), damaged);

    EXPECT_EQ(RoutingConfigStore::load(), RoutingConfig());
    QStringList names = files();
    ASSERT_EQ(names.size(), 1);
    EXPECT_TRUE(QRegularExpression("^routing\\.unreadable-\\d{8}-\\d{6}\\.json$").match(names[0]).hasMatch())
        << names[0].toStdString();
    EXPECT_EQ(contents(folder() + "/" + names[0]), damaged);

    RoutingConfigStore::save(sampleConfig(1));
    EXPECT_EQ(contents(folder() + "/" + names[0]), damaged);
    EXPECT_EQ(files().size(), 2);
}

TEST_F(RoutingConfigStoreTest, UnreadableFileThatCannotBeMovedAsideIsNeverSavedOver) {
    write(RoutingConfigStore::url(), "{ truncated");
    // Every name the file could be moved to in the next few seconds is taken.
    const QDateTime now = QDateTime::currentDateTime();
    for (int second = 0; second < 4; ++second) {
        const QString base =
            folder() + "/routing.unreadable-" + now.addSecs(second).toString("yyyyMMdd-HHmmss");
        write(base + ".json", "taken");
        for (int suffix = 2; suffix < 100; ++suffix) {
            write(base + QString("-%1.json").arg(suffix), "taken");
        }
    }
    EXPECT_EQ(RoutingConfigStore::load(), RoutingConfig());
    RoutingConfigStore::save(sampleConfig(1));
    EXPECT_EQ(contents(RoutingConfigStore::url()), "{ truncated");
}

TEST_F(RoutingConfigStoreTest, SaveWithoutLoadStillKeepsAnUnreadableFile) {
    write(RoutingConfigStore::url(), "{ truncated");
    write(folder() + "/routing.unreadable-" + QDateTime::currentDateTime().toString("yyyyMMdd-HHmmss") +
              ".json",
          "older");
    RoutingConfigStore::save(sampleConfig(1));

    int kept = 0;
    int older = 0;
    for (const QString& name : files()) {
        QByteArray bytes = contents(folder() + "/" + name);
        if (bytes == "{ truncated") {
            ++kept;
            EXPECT_TRUE(name.startsWith("routing.unreadable-")) << name.toStdString();
        }
        older += bytes == "older" ? 1 : 0;
    }
    EXPECT_EQ(kept, 1);
    EXPECT_EQ(older, 1);
    EXPECT_EQ(RoutingConfigStore::load().sources.size(), 1u);
}

TEST_F(RoutingConfigStoreTest, FailedWriteLeavesThePreviousFileWhole) {
    RoutingConfig small = sampleConfig(1);
    RoutingConfigStore::save(small);
    const QByteArray before = contents(RoutingConfigStore::url());

    withWriteLimit(static_cast<rlim_t>(before.size()) + 64,
                   [] { RoutingConfigStore::save(sampleConfig(50)); });

    EXPECT_EQ(contents(RoutingConfigStore::url()), before);
    EXPECT_EQ(files(), QStringList{"routing.json"}); // no temporary file left behind
    EXPECT_EQ(RoutingConfigStore::load(), small);
}

TEST_F(RoutingConfigStoreTest, UnencodableConfigurationLeavesThePreviousFileWhole) {
    RoutingConfigStore::save(sampleConfig(1));
    const QByteArray before = contents(RoutingConfigStore::url());
    RoutingConfig broken = sampleConfig(1);
    broken.sources[0].volumeDB = std::numeric_limits<float>::quiet_NaN();

    testing::internal::CaptureStderr();
    RoutingConfigStore::save(broken);
    std::string log = testing::internal::GetCapturedStderr();

    EXPECT_NE(log.find("TandrelApp: failed to save routing config: "), std::string::npos) << log;
    EXPECT_EQ(contents(RoutingConfigStore::url()), before);
}

TEST_F(RoutingConfigStoreTest, BackupIsAByteCopyWithATimestampedName) {
    EXPECT_FALSE(RoutingConfigStore::backup());

    RoutingConfigStore::save(sampleConfig(2));
    auto copy = RoutingConfigStore::backup();
    ASSERT_TRUE(copy);
    EXPECT_EQ(QFileInfo(*copy).absolutePath(), folder());
    EXPECT_TRUE(QRegularExpression("^routing\\.backup-\\d{8}-\\d{6}\\.json$")
                    .match(QFileInfo(*copy).fileName())
                    .hasMatch())
        << copy->toStdString();
    EXPECT_EQ(contents(*copy), contents(RoutingConfigStore::url()));
}

TEST_F(RoutingConfigStoreTest, SecondBackupInTheSameSecondFails) {
    RoutingConfigStore::save(sampleConfig(1));
    for (int attempt = 0; attempt < 3; ++attempt) {
        std::time_t before = std::time(nullptr);
        auto first = RoutingConfigStore::backup();
        testing::internal::CaptureStderr();
        auto second = RoutingConfigStore::backup();
        std::string log = testing::internal::GetCapturedStderr();
        if (std::time(nullptr) != before) {
            continue; // the clock ticked between the two; the names differ legitimately
        }
        ASSERT_TRUE(first);
        EXPECT_FALSE(second);
        EXPECT_NE(log.find("TandrelApp: failed to back up routing config: "), std::string::npos) << log;
        return;
    }
    GTEST_SKIP() << "the clock kept ticking between backups";
}
