// The click-to-type number: its state machine with the beep injected, and the widget driven by clicks
// and keys offscreen (commit, a refused entry, a keystroke clearing the mark, Escape, focus loss and a
// click elsewhere cancelling, a refresh keeping the draft).
#include <optional>
#include <string>
#include <vector>

#include <QApplication>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QVBoxLayout>
#include <gtest/gtest.h>

#include "TandrelApp/Mixer/EditableNumber.h"
#include "TandrelApp/Mixer/EditableNumberModel.h"
#include "TandrelApp/Routing/Volume.h"

namespace {

std::optional<float> parseDB(std::string_view text) {
    return Volume::parseDB(text);
}

TEST(EditableNumberModelTest, CommitRefuseClearAndCancelFollowTheReadoutFieldCycle) {
    EditableNumberModel model;
    std::vector<float> committed;
    int beeps = 0;
    const auto commit = [&](float value) {
        committed.push_back(value);
    };
    const auto beep = [&] {
        ++beeps;
    };

    EXPECT_FALSE(model.editing());
    model.begin("-∞");
    EXPECT_TRUE(model.editing());
    EXPECT_EQ(model.draft(), "-∞");
    EXPECT_FALSE(model.invalid());

    // Return without typing parses the editing text itself.
    EXPECT_EQ(model.commit(parseDB, commit, beep), EditableNumberModel::CommitResult::committed);
    EXPECT_EQ(committed, (std::vector<float>{-60}));
    EXPECT_FALSE(model.editing());

    // A refused entry marks the field and beeps, once per Return, and keeps the draft.
    model.begin("0.0");
    model.setDraft("loud");
    EXPECT_EQ(model.commit(parseDB, commit, beep), EditableNumberModel::CommitResult::refused);
    EXPECT_TRUE(model.invalid());
    EXPECT_TRUE(model.editing());
    EXPECT_EQ(model.draft(), "loud");
    EXPECT_EQ(beeps, 1);
    model.setDraft("loude");
    EXPECT_FALSE(model.invalid()) << "the next keystroke clears the mark";
    model.commit(parseDB, commit, beep);
    EXPECT_EQ(beeps, 2);

    // Escape after a refused entry: closed, nothing committed; the next click starts clean.
    model.cancel();
    EXPECT_FALSE(model.editing());
    EXPECT_EQ(committed.size(), 1u);
    model.begin("3.0");
    EXPECT_FALSE(model.invalid());
    EXPECT_EQ(model.draft(), "3.0");

    // The value goes on exactly as the parser gave it (rounded and clamped by the decibel parser).
    model.setDraft("+13.37 dB");
    model.commit(parseDB, commit, beep);
    EXPECT_EQ(committed.back(), 12.0f);
    model.begin("0");
    model.setDraft("-6.04");
    model.commit(parseDB, commit, beep);
    EXPECT_FLOAT_EQ(committed.back(), -6.0f);
}

class EditableNumberTest : public ::testing::Test {
protected:
    void SetUp() override {
        auto* layout = new QVBoxLayout(&window);
        number = new EditableNumber(Theme::Metrics());
        other = new QPushButton(QStringLiteral("他"));
        layout->addWidget(number);
        layout->addWidget(other);
        layout->addStretch();
        number->setContent(
            {.text = "-6.0 dB", .editingText = "-6.0", .width = 52, .help = "クリックして入力"});
        number->setParse(parseDB);
        number->setOnCommit([this](float value) { committed.push_back(value); });
        number->setBeep([this] { ++beeps; });
        window.resize(200, 120);
        window.show();
        window.activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
    }

    void open() {
        QTest::mouseClick(number->readout(), Qt::LeftButton);
        ASSERT_TRUE(number->model().editing());
        ASSERT_TRUE(QTest::qWaitFor([this] { return number->field()->hasFocus(); }, 1000));
    }

    QWidget window;
    EditableNumber* number = nullptr;
    QPushButton* other = nullptr;
    std::vector<float> committed;
    int beeps = 0;
};

TEST_F(EditableNumberTest, AClickOpensTheFieldOnTheEditingTextAndReturnCommitsIt) {
    EXPECT_FALSE(number->field()->isVisible());
    EXPECT_EQ(number->readout()->toolTip(), QStringLiteral("クリックして入力"));
    EXPECT_EQ(number->width(), 52);
    open();
    EXPECT_TRUE(number->field()->isVisible());
    EXPECT_FALSE(number->readout()->isVisible());
    EXPECT_EQ(number->field()->text(), QStringLiteral("-6.0"));
    EXPECT_EQ(number->width(), 52) << "the field is as wide as the readout";

    // The editing text is selected, so typing replaces it.
    QTest::keyClicks(number->field(), "-12");
    QTest::keyClick(number->field(), Qt::Key_Return);
    EXPECT_EQ(committed, (std::vector<float>{-12}));
    EXPECT_FALSE(number->model().editing());
    EXPECT_TRUE(number->readout()->isVisible());
    EXPECT_EQ(beeps, 0);
}

TEST_F(EditableNumberTest, ARefusedEntryBeepsAndStaysOpenUntilAKeystrokeClearsTheMark) {
    open();
    QTest::keyClicks(number->field(), "abc");
    QTest::keyClick(number->field(), Qt::Key_Return);
    EXPECT_EQ(beeps, 1);
    EXPECT_TRUE(number->model().invalid());
    EXPECT_TRUE(number->field()->isVisible());
    EXPECT_EQ(number->field()->text(), QStringLiteral("abc"));
    EXPECT_TRUE(committed.empty());

    QTest::keyClick(number->field(), Qt::Key_Backspace);
    EXPECT_FALSE(number->model().invalid());
    QTest::keyClick(number->field(), Qt::Key_Enter);
    EXPECT_EQ(beeps, 2);

    // Escape closes it; the next click starts from the editing text without the mark.
    QTest::keyClick(number->field(), Qt::Key_Escape);
    EXPECT_FALSE(number->model().editing());
    EXPECT_TRUE(committed.empty());
    open();
    EXPECT_FALSE(number->model().invalid());
    EXPECT_EQ(number->field()->text(), QStringLiteral("-6.0"));
}

TEST_F(EditableNumberTest, LosingTheFocusOrAClickElsewhereClosesTheFieldWithoutCommitting) {
    open();
    QTest::keyClicks(number->field(), "3");
    other->setFocus(Qt::TabFocusReason);
    EXPECT_FALSE(number->model().editing());
    EXPECT_TRUE(committed.empty());

    // A click on a place that takes no focus closes it too.
    open();
    QTest::keyClicks(number->field(), "3");
    QTest::mouseClick(&window, Qt::LeftButton, {}, QPoint(190, 110));
    EXPECT_FALSE(number->model().editing());
    EXPECT_TRUE(committed.empty());

    // A click inside the field keeps it open.
    open();
    QTest::mouseClick(number->field(), Qt::LeftButton, {}, QPoint(5, 5));
    EXPECT_TRUE(number->model().editing());
}

TEST_F(EditableNumberTest, ARefreshWhileEditingKeepsTheDraftAndTheNextClickTakesTheNewText) {
    open();
    QTest::keyClicks(number->field(), "-3");
    number->setContent({.text = "-9.0 dB", .editingText = "-9.0", .width = 52, .help = "クリックして入力"});
    EXPECT_EQ(number->field()->text(), QStringLiteral("-3"));
    EXPECT_EQ(number->model().draft(), "-3");
    QTest::keyClick(number->field(), Qt::Key_Escape);
    open();
    EXPECT_EQ(number->field()->text(), QStringLiteral("-9.0"));
}

// A caller that narrows the readout (a group title's 48 points) gets a readout and a field of that width,
// so the right-aligned text is not cut off at the control's edge.
TEST_F(EditableNumberTest, ANewWidthResizesTheReadoutAndTheField) {
    number->setContent({.text = "+0.0 dB", .editingText = "0.0", .width = 48, .help = "クリックして入力"});
    EXPECT_EQ(number->width(), 48);
    EXPECT_EQ(number->readout()->geometry(), number->rect());
    EXPECT_EQ(number->field()->geometry(), number->rect());
}

} // namespace
