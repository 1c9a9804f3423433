#include <gtest/gtest.h>

#include "TandrelApp/Updater/UpdateRelease.h"
#include "UpdaterTestSupport.h"

using namespace UpdateRules;

namespace {

UpdateRelease release(std::string version, std::optional<std::int64_t> build = std::nullopt,
                      std::optional<std::string> minimumSystem = std::nullopt) {
    UpdateRelease release = releaseOf(std::move(version), "https://example.org/u.tar");
    release.build = build;
    release.minimumSystemVersion = std::move(minimumSystem);
    return release;
}

} // namespace

TEST(UpdateVersions, CompareNumericallyPieceByPiece) {
    struct Case {
        const char* a;
        const char* b;
        int order;
    };
    const Case cases[] = {
        {"1.10", "1.9", 1},
        {"2.0", "2.0.0", 0},
        {"1.2", "1.2.0", 0},
        {"1.2b", "1.0", 0},
        {"2.1-beta", "2.0", 0},
        {"2.1-beta", "2.1", -1},
        {"", "0", 0},
        {"..1..2.", "1.2", 0},
        {"+3", "3", 0},
        {"-1", "0", -1},
        {"1.99999999999999999999", "1.0", 0},
        {"10", "9.9.9", 1},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(compareVersions(c.a, c.b), c.order) << c.a << " vs " << c.b;
        EXPECT_EQ(compareVersions(c.b, c.a), -c.order) << c.b << " vs " << c.a;
    }
}

TEST(UpdateVersions, NewerByVersionThenBuildAndOnlyOnASupportedSystem) {
    const OperatingSystemVersion system{14, 2, 1};
    EXPECT_FALSE(offersUpdate(release("1.2.0", 7), "1.2.0", 7, system)) << "same version and build";
    EXPECT_TRUE(offersUpdate(release("1.2.0", 7), "1.2.0", 6, system)) << "same version, higher build";
    EXPECT_FALSE(offersUpdate(release("1.2.0"), "1.2.0", 0, system)) << "an absent build counts as 0";
    EXPECT_TRUE(offersUpdate(release("1.2.0"), "1.2.0", -1, system));
    EXPECT_FALSE(offersUpdate(release("1.1", 9999), "1.2.0", 7, system))
        << "a lower version with a higher build";

    EXPECT_TRUE(offersUpdate(release("2.0", {}, "14.2.1"), "1.2.0", 7, system)) << "equal to the minimum";
    EXPECT_FALSE(offersUpdate(release("2.0", {}, "14.3"), "1.2.0", 7, system));
    EXPECT_TRUE(supportsSystem(release("2.0", {}, "14.3"), {15, 0, 0}));
    EXPECT_TRUE(supportsSystem(release("3"), {10, 0, 0}));
    EXPECT_FALSE(supportsSystem(release("3", {}, "14.0.1"), {14, 0, 0}));
    EXPECT_TRUE(supportsSystem(release("3", {}, "14"), {14, 0, 0}));
}

TEST(UpdateFeedAddress, TheUserDefaultWinsEvenWhenEmpty) {
    const std::string info = "https://feed.example.org/release.json";
    EXPECT_EQ(feedURL(std::nullopt, info), info);
    EXPECT_EQ(feedURL(std::string("https://other.example.org/f.json"), info),
              "https://other.example.org/f.json");
    EXPECT_EQ(feedURL(std::string(""), info), std::nullopt);
    EXPECT_EQ(feedURL(std::string("not an address at all ::"), info), std::nullopt);
    EXPECT_EQ(feedURL(std::nullopt, std::nullopt), std::nullopt);
}

TEST(UpdateFeedAddress, OnlyHttpsOrLocalHttp) {
    const std::pair<const char*, bool> cases[] = {
        {"https://feed.example.org/r.json", true},
        {"http://localhost:8123/any/path.json", true},
        {"http://127.0.0.1/r.json", true},
        {"http://example.org/r.json", false},
        {"http://127.0.0.2/r.json", false},
        {"http://LOCALHOST/r.json", false},
        {"HTTPS://feed.example.org/r.json", false},
        {"ftp://localhost/r.json", false},
        {"file:///tmp/r.json", false},
        // A scheme and a host, or no address.
        {"https", false},
        {"https:", false},
        {"https:///r.json", false},
        {"https:r.json", false},
    };
    for (const auto& [address, accepted] : cases) {
        EXPECT_EQ(feedURL(std::string(address), std::nullopt).has_value(), accepted) << address;
    }
    EXPECT_TRUE(acceptsPackageAddress("https://cdn.example.org/u.tar", "https://feed.example.org/r.json"));
    EXPECT_FALSE(acceptsPackageAddress("http://cdn.example.org/u.tar", "https://feed.example.org/r.json"));
    EXPECT_TRUE(acceptsPackageAddress("http://127.0.0.1:9/u.tar", "http://localhost/r.json"));
}

TEST(UpdateReleaseDecoding, AcceptsTheMinimalAndTheFullDocument) {
    const auto minimal = decodeRelease(R"({"version":"2.0","url":"https://example.org/Corvane-2.0.tar"})");
    EXPECT_EQ(minimal, releaseOf("2.0", "https://example.org/Corvane-2.0.tar"));

    const auto full = decodeRelease(R"({"version":"2.1","build":42,"url":"https://example.org/u.tar",
        "page":"https://example.org/download","date":"2025-03-04","minimumSystemVersion":"14.2",
        "notes":["速くなりました","修正"],"signature":"ignored"})");
    EXPECT_EQ(full.build, 42);
    EXPECT_EQ(full.page, "https://example.org/download");
    EXPECT_EQ(full.date, "2025-03-04");
    EXPECT_EQ(full.minimumSystemVersion, "14.2");
    EXPECT_EQ(full.notes, (std::vector<std::string>{"速くなりました", "修正"}));

    const auto nulls = decodeRelease(R"({"version":"2.0","url":"https://e.org/u","build":null,"page":null,
        "date":null,"minimumSystemVersion":null,"notes":null})");
    EXPECT_EQ(nulls, releaseOf("2.0", "https://e.org/u"));
}

TEST(UpdateReleaseDecoding, RejectsAnythingButOneValidReleaseObject) {
    const char* documents[] = {
        R"([{"version":"2.0","url":"https://e.org/u"}])",
        R"({"version":"2.0"})",
        R"({"url":"https://e.org/u"})",
        R"({"version":null,"url":"https://e.org/u"})",
        R"({"version":2,"url":"https://e.org/u"})",
        R"({"version":"2.0","url":"https://e.org/u","build":"7"})",
        R"({"version":"2.0","url":"https://e.org/u","build":7.5})",
        R"({"version":"2.0","url":"https://e.org/u","notes":"one"})",
        R"({"version":"2.0","url":"https://e.org/u","notes":["a",3]})",
        R"({"version":"2.0","url":"https://e.org/u","date":20250304})",
        R"({"version":"2.0","url":"https://e.org/u","minimumSystemVersion":14})",
        R"({"version":"2.0","url":"https://e.org/u","page":"http://exa mple.org/%zz"})",
        R"({"version":"2.0","url":""})",
        R"("2.0")",
        "not json",
        "",
    };
    for (const char* document : documents) {
        EXPECT_THROW(decodeRelease(document), ReleaseDecodingError) << document;
    }
    try {
        decodeRelease(R"({"version":"2.0"})");
    } catch (const ReleaseDecodingError& error) {
        EXPECT_NE(std::string(error.what()).find("\"url\""), std::string::npos) << error.what();
    }
}
