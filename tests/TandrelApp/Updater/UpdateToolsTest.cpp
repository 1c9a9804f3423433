#include <gtest/gtest.h>

#include "TandrelApp/Updater/UpdateTools.h"

using namespace UpdateToolDecisions;

TEST(UpdateToolQuoting, SingleQuotesSurviveTheShell) {
    EXPECT_EQ(shellQuote("/tmp/plain.pkg"), "'/tmp/plain.pkg'");
    EXPECT_EQ(shellQuote("it's"), "'it'\\''s'");
    EXPECT_EQ(shellQuote("a \"b\" \\c $d"), "'a \"b\" \\c $d'");

    UpdateTools tools;
    tools.installer = "/opt/corvane/libexec/tandrel-install";
    tools.certificateAuthority = "/opt/corvane/share/update-ca.pem";
    tools.target = "/";
    EXPECT_EQ(
        tools.elevatedInstallArguments("/tmp/o'k/CorvaneUpdate.pkg", "TEAMA"),
        (std::vector<std::string>{
            "/bin/sh", "-c",
            "'/opt/corvane/libexec/tandrel-install' -pkg '/tmp/o'\\''k/CorvaneUpdate.pkg' -target '/' -ca "
            "'/opt/corvane/share/update-ca.pem' -team 'TEAMA'"}));
}

TEST(UpdateToolDecisions, ReadTheToolsStatusAndOutput) {
    EXPECT_FALSE(attachFailure({0, "whatever"}));
    const auto attach = attachFailure({2, "tar: This does not look like a tar archive\n"});
    ASSERT_TRUE(attach);
    EXPECT_STREQ(
        attach->what(),
        "ダウンロードできませんでした（ディスクイメージを開けません: tar: This does not look like a tar "
        "archive\n）");

    EXPECT_FALSE(assessmentFailure({0, "CMS Verification successful\n"}));
    const auto unsure = assessmentFailure({0, "  something else\n"});
    ASSERT_TRUE(unsure);
    EXPECT_EQ(unsure->detail(), "Gatekeeper: something else");
    EXPECT_TRUE(assessmentFailure({4, "Verification successful"})) << "a failing status always fails";

    EXPECT_FALSE(installerFailure({0, ""}));
    EXPECT_TRUE(installerFailure({126, "Error executing command as another user: Request dismissed"})
                    ->isCancelledPrompt());
    const auto refused = installerFailure({127, "\nNot authorized\n\n"});
    ASSERT_TRUE(refused);
    EXPECT_FALSE(refused->isCancelledPrompt());
    EXPECT_STREQ(refused->what(), "インストールに失敗しました（Not authorized）");
}

TEST(UpdateToolDecisions, TheSignersTeamMustMatchExactly) {
    const std::string ours =
        "subject=\n    OU             = TEAMA\n    CN             = Developer ID Installer: Qorvix (TEAMA)\n";
    EXPECT_EQ(installerTeam(ours), "TEAMA");
    EXPECT_FALSE(teamFailure({0, ""}, {0, ours}, "TEAMA"));

    // Names that only mention our team are not our team.
    const std::string impostor =
        "subject=\n    OU = TEAMB\n    CN = Developer ID Installer: Not Us (TEAMA)\n";
    EXPECT_EQ(installerTeam(impostor), "TEAMB");
    const auto failure = teamFailure({0, ""}, {0, impostor}, "TEAMA");
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->detail(), "署名者がこのアプリの開発元と一致しません");
    EXPECT_TRUE(
        teamFailure({0, ""}, {0, "    OU = TEAMAB\n    CN = Developer ID Installer: x (TEAMA)\n"}, "TEAMA"));
    EXPECT_TRUE(teamFailure({0, ""}, {0, "    OU = TEAM\n    CN = Developer ID Installer: x\n"}, "TEAMA"));

    EXPECT_FALSE(installerTeam("    OU = TEAMA\n    CN = Developer ID Application: Qorvix (TEAMA)\n"));
    EXPECT_FALSE(
        installerTeam("    OU = TEAMA\n    OU = TEAMB\n    CN = Developer ID Installer: Q (TEAMA)\n"));
    EXPECT_FALSE(installerTeam("    CN = Developer ID Installer: Q (TEAMA)\n"));
    EXPECT_TRUE(teamFailure({1, ""}, {0, ours}, "TEAMA")) << "the signature itself must verify";
}

TEST(UpdateToolRunner, CollectsBothOutputsAndTheStatus) {
    const auto result =
        UpdateToolRunner::runSync("/bin/sh", {"-c", "echo out; echo err >&2; printf '\\377'; exit 3"});
    EXPECT_EQ(result.status, 3);
    EXPECT_EQ(result.output, "out\nerr\n\xEF\xBF\xBD");

    // More than a pipe holds: read to the end before waiting.
    const auto large = UpdateToolRunner::runSync("/bin/sh", {"-c", "head -c 1000000 /dev/zero | tr '\\0' x"});
    EXPECT_EQ(large.status, 0);
    EXPECT_EQ(large.output.size(), 1000000u);

    EXPECT_THROW(UpdateToolRunner::runSync("/nonexistent/tool", {}), UpdateToolError);
}
