#include <gtest/gtest.h>

#include "TandrelApp/Updater/UpdateTools.h"

using namespace UpdateToolDecisions;

TEST(UpdateToolDecisions, ReadTheToolsStatusAndOutput) {
    EXPECT_FALSE(installerFailure({0, ""}));
    EXPECT_TRUE(installerFailure({126, "Error executing command as another user: Request dismissed"})
                    ->isCancelledPrompt());
    const auto refused = installerFailure({127, "\nNot authorized\n\n"});
    ASSERT_TRUE(refused);
    EXPECT_FALSE(refused->isCancelledPrompt());
    EXPECT_STREQ(refused->what(), "インストールに失敗しました（Not authorized）");
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
