// The matrix grid's flows over a controller that runs no reconcile pass and publishes devices the test
// gives it: the row headers and cells line up item by item and the headers with the cells group by
// group; refreshes keep each widget by identity, so an edit in progress survives them; group titles,
// pair headers, row headers, cells and their popovers call the controller as the user asks; a line's own
// volume holds a drag for a moment; and a new display scale rebuilds the scaled quadrants in place.
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include <QAction>
#include <QBuffer>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPointer>
#include <QScrollBar>
#include <QTest>
#include <QTextDocument>
#include <gtest/gtest.h>

#include "MixerTestSupport.h"
#include "Platform/Workspace/Workspace.h"
#include "Support/Snapshots.h"
#include "Support/TemporaryXdgHome.h"
#include "TandrelApp/Mixer/ChannelVolumeList.h"
#include "TandrelApp/Mixer/ConnectionDetail.h"
#include "TandrelApp/Mixer/EditableNumber.h"
#include "TandrelApp/Mixer/ElidedLabel.h"
#include "TandrelApp/Mixer/FrozenHeaderScrollView.h"
#include "TandrelApp/Mixer/GroupTitle.h"
#include "TandrelApp/Mixer/LineHardwareVolume.h"
#include "TandrelApp/Mixer/LineVolumeLinkLabel.h"
#include "TandrelApp/Mixer/LiveMeter.h"
#include "TandrelApp/Mixer/MatrixCell.h"
#include "TandrelApp/Mixer/MatrixGrid.h"
#include "TandrelApp/Mixer/MatrixMetrics.h"
#include "TandrelApp/Mixer/MonoSourcePicker.h"
#include "TandrelApp/Mixer/PairHeader.h"
#include "TandrelApp/Mixer/PairVolumeDetail.h"
#include "TandrelApp/Mixer/Popover.h"
#include "TandrelApp/Mixer/RouterStatusBar.h"
#include "TandrelApp/Mixer/RouterView.h"
#include "TandrelApp/Mixer/RowHeader.h"
#include "TandrelApp/Mixer/RowView.h"
#include "TandrelApp/Mixer/SectionLabel.h"
#include "TandrelApp/Mixer/SourceChannelVolumes.h"
#include "TandrelApp/Mixer/VerticalFader.h"
#include "TandrelApp/Mixer/VolumeControl.h"
#include "TandrelApp/Routing/RoutingController.h"
#include "TandrelApp/Routing/RoutingControllerTestAccess.h"
#include "TandrelApp/Routing/TemporaryDataHome.h"
#include "TandrelApp/Shell/GeneralSettingsModel.h"
#include "TandrelApp/Support/ActionMenu.h"
#include "TandrelApp/Support/CompactSlider.h"
#include "TandrelApp/Support/GlyphButton.h"
#include "TandrelApp/Support/UserDefaults.h"

using namespace std::chrono_literals;

namespace {

using Access = RoutingControllerTestAccess;
using MixerTestSupport::makeSource;
using MixerTestSupport::PasslessController;
using MixerTestSupport::titles;
using MixerTestSupport::trigger;

constexpr const char* kLine1 = "qorvix.tandrel.device.line1";
constexpr const char* kLine2 = "qorvix.tandrel.device.line2";

AudioDeviceInfo device(std::string uid, std::string name, std::uint32_t channels, bool input = false) {
    return {.id = 0,
            .uid = std::move(uid),
            .name = std::move(name),
            .inputChannels = input ? channels : 0,
            .outputChannels = channels};
}

class MatrixGridTest : public ::testing::Test {
protected:
    void SetUp() override {
        RoutingConfig config;
        config.sources = {system, mic};
        config.monitorDeviceUIDs = {"speakers"};
        controller = PasslessController::create(config);
        Access::publishDevices(*controller,
                               {device(kLine1, "Line 1", 2, true), device(kLine2, "Line 2", 8, true)},
                               {device("speakers", "Speakers", 2), device("phones", "Phones", 5)}, {});
        grid = std::make_unique<MatrixGrid>(*controller, controller->meters(), UserDefaults::standard());
        grid->resize(1100, 700);
        grid->show();
        grid->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(grid.get()));
        flush();
    }

    // Lets the window's coalesced refresh and the scroll view's header sizing run.
    void flush() {
        QCoreApplication::processEvents();
        QCoreApplication::processEvents();
    }

    void edit(const std::function<void(RoutingConfig&)>& change) {
        RoutingConfig next = controller->config();
        change(next);
        controller->setConfig(std::move(next));
        QCoreApplication::processEvents();
    }

    QPoint at(QWidget* widget) const { return widget->mapTo(grid.get(), QPoint(0, 0)); }

    TemporaryXdgHome configHome{"XDG_CONFIG_HOME"};
    TemporaryDataHome dataHome;
    const SourceConfig system = makeSource(SourceKind::systemAudio(), "システム全体");
    const SourceConfig mic = makeSource(SourceKind::inputDevice("mic"), "マイク");
    std::shared_ptr<PasslessController> controller;
    std::unique_ptr<MatrixGrid> grid;
};

TEST_F(MatrixGridTest, RowHeadersAndCellsShareHeightsAndHeadersShareTheCellsWidths) {
    ASSERT_EQ(grid->items().size(), 6u); // sources section, 2 sources, lines section, 2 lines
    for (const GridItem& item : grid->items()) {
        QWidget* left = item.id().starts_with("section:")
                            ? static_cast<QWidget*>(grid->leftSection(item.id()))
                            : static_cast<QWidget*>(grid->rowHeader(item.id()));
        QWidget* right = item.id().starts_with("section:")
                             ? static_cast<QWidget*>(grid->contentSection(item.id()))
                             : static_cast<QWidget*>(grid->rowView(item.id()));
        ASSERT_NE(left, nullptr) << item.id();
        ASSERT_NE(right, nullptr) << item.id();
        EXPECT_EQ(left->height(), static_cast<int>(item.height())) << item.id();
        EXPECT_EQ(right->height(), left->height()) << item.id();
        EXPECT_EQ(at(right).y(), at(left).y()) << item.id();
    }
    // Groups of 1, 4 and 1 columns: 190 + 10 + 208 + 10 + 190 + 10.
    EXPECT_EQ(grid->contentSection("section:音源")->width(), 618);
    EXPECT_EQ(grid->leftSection("section:音源")->width(), 270);
    EXPECT_EQ(grid->leftSection("section:音源")->title(), QStringLiteral("音源"));
    EXPECT_EQ(grid->scrollView()->leftArea()->width(), 16 + 270);

    for (const ColumnGroup& group : grid->groups()) {
        for (const MatrixColumn& column : group.columns) {
            PairHeader* header = grid->pairHeader(group.id(), column);
            MatrixCell* cell = grid->cell(mic.id.uuidString(), group.id(), column);
            ASSERT_NE(header, nullptr);
            ASSERT_NE(cell, nullptr);
            EXPECT_EQ(at(header).x(), at(cell).x()) << group.id() << " column " << column.channel;
            EXPECT_EQ(header->width(), 52);
        }
        EXPECT_EQ(at(grid->groupTitle(group.id())).x(),
                  at(grid->pairHeader(group.id(), group.columns[0])).x());
    }

    // Without sources: the empty hint, and a spacer of its height among the cells.
    edit([](RoutingConfig& config) { config.sources.clear(); });
    ASSERT_NE(grid->emptyHint(), nullptr);
    ASSERT_NE(grid->emptySpacer(), nullptr);
    EXPECT_EQ(grid->emptyHint()->size(), QSize(270, 44));
    EXPECT_EQ(grid->emptySpacer()->height(), 44);
    EXPECT_EQ(at(grid->emptySpacer()).y(), at(grid->emptyHint()).y());
    EXPECT_EQ(grid->rowHeader(mic.id.uuidString()), nullptr);
}

TEST_F(MatrixGridTest, RefreshesKeepWidgetsByIdentitySoAnEditInProgressSurvives) {
    RowHeader* header = grid->rowHeader(mic.id.uuidString());
    ASSERT_NE(header, nullptr);
    EditableNumber* readout = header->volume()->readout();
    QTest::mouseClick(readout->readout(), Qt::LeftButton);
    ASSERT_TRUE(readout->model().editing());
    ASSERT_TRUE(QTest::qWaitFor([readout] { return readout->field()->hasFocus(); }, 1000));
    QTest::keyClicks(readout->field(), "-3");
    PairHeader* pair = grid->pairHeader(kLine2, {0, 2});
    MatrixCell* cell = grid->cell(system.id.uuidString(), kLine1, {0, 2});

    // Another row's edit, a status of a pass, and a new device list.
    controller->setSourceVolume(system.id, -6);
    Access::setStatus(*controller, mic.id, RoutingController::SourceStatus::running("入力デバイス"));
    Access::publishDevices(*controller,
                           {device(kLine1, "Line 1", 2, true), device(kLine2, "Line 2", 8, true)},
                           {device("speakers", "Speakers 2", 2)}, {});
    emit controller->outputDevicesChanged();
    QCoreApplication::processEvents();

    EXPECT_EQ(grid->rowHeader(mic.id.uuidString()), header);
    EXPECT_EQ(grid->pairHeader(kLine2, {0, 2}), pair);
    EXPECT_EQ(grid->cell(system.id.uuidString(), kLine1, {0, 2}), cell);
    EXPECT_TRUE(readout->model().editing());
    EXPECT_EQ(readout->field()->text(), QStringLiteral("-3"));
    EXPECT_EQ(header->statusText()->text(), QStringLiteral("入力デバイス"));
    EXPECT_EQ(grid->rowHeader(system.id.uuidString())->volume()->dB(), -6.0f);
    EXPECT_EQ(grid->groupTitle("speakers")->name()->text(), QStringLiteral("Speakers 2"));

    QTest::keyClick(readout->field(), Qt::Key_Return);
    EXPECT_EQ(controller->source(mic.id)->volumeDB, -3.0f);

    // A removed source takes its widgets along; the others stay.
    ASSERT_TRUE(trigger(grid->rowHeader(system.id.uuidString())->buildMenu(), QStringLiteral("音源を削除")));
    EXPECT_EQ(grid->rowHeader(system.id.uuidString()), nullptr);
    EXPECT_EQ(grid->rowView(system.id.uuidString()), nullptr);
    EXPECT_EQ(grid->rowHeader(mic.id.uuidString()), header);
}

TEST_F(MatrixGridTest, GroupTitleShowsPairsFadersAndSplitsAsAsked) {
    GroupTitle* title = grid->groupTitle(kLine2);
    ASSERT_NE(title, nullptr);
    EXPECT_EQ(title->caption()->text(), QStringLiteral("8ch ライン"));
    EXPECT_EQ(title->width(), 208);
    EXPECT_EQ(title->master()->width(), 200);
    EXPECT_TRUE(title->fewerPairs()->isEnabled());
    EXPECT_FALSE(title->morePairs()->isEnabled()) << "all 4 pairs are shown";
    EXPECT_EQ(title->morePairs()->toolTip(), QStringLiteral("表示するペアを増やす（最大 4 ペア）"));
    EXPECT_TRUE(grid->groupTitle(kLine1)->fewerPairs()->isHidden()) << "a stereo line has one pair";

    QTest::mouseClick(title->fewerPairs(), Qt::LeftButton);
    QCoreApplication::processEvents();
    EXPECT_EQ(controller->visiblePairs(device(kLine2, "Line 2", 8)), 3);
    EXPECT_EQ(grid->pairHeader(kLine2, {6, 2}), nullptr);
    EXPECT_TRUE(title->morePairs()->isEnabled());

    ASSERT_TRUE(trigger(title->buildMenu(), QStringLiteral("すべてのペアを L/R に分ける")));
    EXPECT_EQ(controller->config().splitPairs.at(kLine2), (std::set<std::int64_t>{0, 2, 4}));
    EXPECT_NE(grid->pairHeader(kLine2, {5, 1}), nullptr);
    ASSERT_TRUE(trigger(title->buildMenu(), QStringLiteral("すべてステレオに戻す")));
    EXPECT_FALSE(controller->config().splitPairs.contains(kLine2));
    EXPECT_EQ(titles(title->buildMenu()), (QStringList{QStringLiteral("すべてのペアを L/R に分ける"),
                                                       QStringLiteral("すべてステレオに戻す")}));

    // Hiding the faders turns every column of the device into meters and a badge.
    QTest::mouseClick(title->faderSwitch(), Qt::LeftButton);
    QCoreApplication::processEvents();
    EXPECT_TRUE(controller->config().hiddenFaders.contains(kLine2));
    PairHeader* pair = grid->pairHeader(kLine2, {0, 2});
    EXPECT_TRUE(pair->fader()->isHidden());
    EXPECT_TRUE(pair->muteButton()->isHidden());
    EXPECT_EQ(pair->levelArea()->height(), 22);
    EXPECT_EQ(pair->levelText()->text(), QStringLiteral(" "));
    EXPECT_EQ(title->faderSwitch()->toolTip(), QStringLiteral("列ごとのフェーダーを表示"));
    ASSERT_TRUE(trigger(pair->buildMenu(), QStringLiteral("Line 2 のフェーダーを表示")));
    EXPECT_FALSE(controller->config().hiddenFaders.contains(kLine2));

    // The master volume, and a monitor's removal.
    ASSERT_TRUE(trigger(title->master()->buildMenu(), QStringLiteral("ミュート")));
    EXPECT_TRUE(controller->config().volume(kLine2).isMuted);
    GroupTitle* speakers = grid->groupTitle("speakers");
    ASSERT_TRUE(trigger(speakers->buildMenu(), QStringLiteral("モニター先から外す")));
    EXPECT_TRUE(controller->config().monitorDeviceUIDs.empty());
    EXPECT_TRUE(controller->config().autoAdd.dismissedMonitors.contains("speakers"));
    EXPECT_EQ(grid->groupTitle("speakers"), nullptr);
    EXPECT_EQ(grid->rowHeader(kLine1), nullptr) << "without monitors the lines are no rows";
}

TEST_F(MatrixGridTest, PairHeaderMutesFadesAndOpensItsDetail) {
    PairHeader* pair = grid->pairHeader("speakers", {0, 2});
    ASSERT_NE(pair, nullptr);
    EXPECT_EQ(pair->label()->text(), QStringLiteral("1-2"));
    EXPECT_EQ(pair->meters().size(), 2u);
    EXPECT_EQ(pair->toolTip(), QStringLiteral("ch1-2（見出しをクリックで詳細・L/R の分割）"));

    QTest::mouseClick(pair->muteButton(), Qt::LeftButton);
    QCoreApplication::processEvents();
    EXPECT_EQ(controller->config().volume("speakers").mutedChannels, (std::set<std::int64_t>{0, 1}));
    EXPECT_EQ(pair->levelText()->text(), QStringLiteral("M"));
    EXPECT_EQ(pair->muteButton()->toolTip(), QStringLiteral("ミュートを解除"));
    QTest::mouseClick(pair->muteButton(), Qt::LeftButton);
    QCoreApplication::processEvents();

    VerticalFader* fader = pair->fader();
    QTest::mouseClick(fader, Qt::LeftButton, {}, QPoint(fader->width() / 2, 0));
    QCoreApplication::processEvents();
    EXPECT_EQ(controller->config().volume("speakers").pairDB.at(0), 12.0f);
    EXPECT_EQ(pair->levelText()->text(), QStringLiteral("+12.0"));

    QTest::mouseClick(pair->label(), Qt::LeftButton);
    ASSERT_NE(pair->detailPopover(), nullptr);
    EXPECT_TRUE(pair->detailPopover()->isVisible());
    PairVolumeDetail* detail = pair->detail();
    EXPECT_EQ(detail->pairVolume()->dB(), 12.0f);
    ASSERT_TRUE(trigger(detail->pairVolume()->buildMenu(), QStringLiteral("0 dB に戻す")));
    EXPECT_FALSE(controller->config().volume("speakers").pairDB.contains(0));
    EXPECT_EQ(detail->pairVolume()->dB(), 0.0f) << "the popover follows the configuration";
    detail->channels()->control(1)->setValues(0, false);
    ASSERT_TRUE(trigger(detail->channels()->control(1)->buildMenu(), QStringLiteral("ミュート")));
    EXPECT_EQ(controller->config().volume("speakers").mutedChannels, std::set<std::int64_t>{1});
    pair->detailPopover()->close();
    QCoreApplication::processEvents();
    EXPECT_EQ(pair->detailPopover(), nullptr) << "a closed popover is gone";

    // A 5-channel monitor's third pair is its lone last channel: one meter, no split, one channel muted.
    edit([](RoutingConfig& config) {
        config.monitorDeviceUIDs.push_back("phones");
        config.visiblePairs["phones"] = 3;
    });
    PairHeader* lone = grid->pairHeader("phones", {4, 2});
    ASSERT_NE(lone, nullptr);
    EXPECT_EQ(lone->label()->text(), QStringLiteral("5"));
    EXPECT_EQ(lone->meters().size(), 1u);
    EXPECT_EQ(titles(lone->buildMenu()), QStringList{QStringLiteral("Phones のフェーダーを隠す")});
    QTest::mouseClick(lone->muteButton(), Qt::LeftButton);
    EXPECT_EQ(controller->config().volume("phones").mutedChannels, std::set<std::int64_t>{4});
}

TEST_F(MatrixGridTest, RowHeadersShowStatusAndEditVolumesLinksAndChannels) {
    RowHeader* header = grid->rowHeader(mic.id.uuidString());
    ASSERT_NE(header, nullptr);
    EXPECT_EQ(header->name()->text(), QStringLiteral("マイク"));
    EXPECT_EQ(header->statusText()->text(), QStringLiteral("待機中"));
    EXPECT_EQ(header->meters().size(), 2u) << "an unknown channel count shows two meters";
    EXPECT_EQ(header->iconGlyph().name, "mic");
    EXPECT_EQ(header->toolTip(), QStringLiteral("マイク (mic)\n待機中"));
    EXPECT_EQ(titles(header->buildMenu()),
              (QStringList{QStringLiteral("再接続"), QStringLiteral("音源を削除")}));

    ASSERT_TRUE(trigger(header->volume()->buildMenu(), QStringLiteral("ミュート")));
    EXPECT_TRUE(controller->source(mic.id)->isMuted);

    // The channel popover edits the source's channels and empties when the source goes.
    QTest::mouseClick(header->channelButton(), Qt::LeftButton);
    ASSERT_NE(header->channelsPopover(), nullptr);
    SourceChannelVolumes* channels = header->channelVolumes();
    EXPECT_EQ(channels->channels()->rowCount(), 2u);
    ASSERT_TRUE(trigger(channels->channels()->control(1)->buildMenu(), QStringLiteral("ミュート")));
    EXPECT_EQ(controller->source(mic.id)->mutedChannels, std::set<std::int64_t>{1});
    EXPECT_EQ(header->channelButton()->glyph().role, ColorRole::orange);
    const QPointer<Popover> popover = header->channelsPopover();
    controller->removeSource(mic.id);
    EXPECT_TRUE(QTest::qWaitFor([&] { return popover.isNull(); }, 1000)) << "the popover goes with its row";
    // Content still open for a source removed meanwhile shows nothing.
    SourceChannelVolumes orphan(*controller, Theme::Metrics(), system.id);
    EXPECT_TRUE(orphan.showsSource());
    controller->removeSource(system.id);
    orphan.refresh();
    EXPECT_FALSE(orphan.showsSource());

    // A line row: its own volume and the link label, switched from its menu.
    RowHeader* line = grid->rowHeader(kLine1);
    ASSERT_NE(line, nullptr);
    EXPECT_EQ(line->name()->text(), QStringLiteral("Line 1 のミックス"));
    EXPECT_FALSE(line->lineVolume()->isHidden());
    EXPECT_TRUE(line->volume()->isHidden() || !line->volume()->isVisibleTo(line));
    EXPECT_EQ(line->linkLabel()->text()->text(), QStringLiteral("モニター先につなぐと音量が連動"));
    ASSERT_TRUE(trigger(line->buildMenu(), QStringLiteral("Line 1 とモニター先の音量を連動させない")));
    EXPECT_TRUE(controller->config().unlinkedLineVolumes.contains(kLine1));
    EXPECT_EQ(line->linkLabel()->text()->text(), QStringLiteral("音量の連動なし"));
    EXPECT_EQ(titles(line->buildMenu()),
              QStringList{QStringLiteral("Line 1 とモニター先の音量を連動させる")});
}

// Every part of a row header, the volume readout's field included, lies within the row's height at each
// display size the general pane offers.
TEST_F(MatrixGridTest, RowHeadersHoldTheirPartsWithinTheRowAtEveryDisplaySize) {
    for (const auto& size : GeneralSettingsModel::uiScaleRows()) {
        for (const GridItem& item : grid->items()) {
            const auto* entry = std::get_if<GridItem::Row>(&item.value);
            if (entry == nullptr) {
                continue;
            }
            const MatrixRow* row = &entry->row;
            RowHeader header(*controller, controller->meters(), Theme::Metrics(size.value));
            header.display(*row);
            header.show();
            QCoreApplication::processEvents();
            const int rowHeight = Theme::Metrics(size.value).px(row->height());
            ASSERT_EQ(header.height(), rowHeight);
            EXPECT_LE(header.layout()->minimumSize().height(), rowHeight) << size.title << " " << item.id();
            for (QWidget* part : header.findChildren<QWidget*>()) {
                if (part->isVisibleTo(&header)) {
                    const QRect placed(part->mapTo(&header, QPoint(0, 0)), part->size());
                    EXPECT_TRUE(header.rect().contains(placed))
                        << size.title << " " << item.id() << " " << part->metaObject()->className() << " at "
                        << placed.y() << "+" << placed.height() << " in " << rowHeight;
                }
            }
            if (size.value == 1.0 || size.value == 1.5) {
                const QString name =
                    QStringLiteral("row-header-%1-scale%2")
                        .arg(row->sourceConfig() ? QStringLiteral("source") : QStringLiteral("line"))
                        .arg(std::lround(size.value * 100));
                EXPECT_TRUE(header.grab().save(snapshotPath(name)));
            }
        }
    }
}

// The icon is looked up at each refresh: an application configured while it was not running gets its own
// picture once it runs, and the placeholder again once it has quit.
TEST_F(MatrixGridTest, AnApplicationRowShowsItsOwnIconOnceTheApplicationRuns) {
    const SourceConfig late = makeSource(SourceKind::application("org.example.late-icon"), "Late");
    edit([&late](RoutingConfig& config) { config.sources.push_back(late); });
    RowHeader* header = grid->rowHeader(late.id.uuidString());
    ASSERT_NE(header, nullptr);
    EXPECT_EQ(header->iconGlyph().name, "app");

    QImage picture(32, 32, QImage::Format_ARGB32);
    picture.fill(Qt::red);
    QByteArray encoded;
    QBuffer buffer(&encoded);
    buffer.open(QIODevice::WriteOnly);
    picture.save(&buffer, "PNG");
    RunningApplication app;
    app.bundleIdentifier = "org.example.late-icon";
    app.localizedName = "Late";
    app.icon.imageData.assign(encoded.begin(), encoded.end());
    const int pid = Workspace::shared().launch(app);
    Access::setStatus(*controller, late.id, RoutingController::SourceStatus::running("Process Tap"));
    QCoreApplication::processEvents();
    EXPECT_EQ(header->iconGlyph().name, "") << "the application's own picture";
    ASSERT_FALSE(header->icon()->pixmap().isNull());

    Workspace::shared().terminate(pid);
    Access::setStatus(*controller, late.id, RoutingController::SourceStatus::idle());
    QCoreApplication::processEvents();
    EXPECT_EQ(header->iconGlyph().name, "app");
}

// Items that remove something are drawn in red, the others in the menu's own colour: a monitor's
// removal, an application row's exclusion and removal, and a cell's disconnection.
TEST_F(MatrixGridTest, DestructiveMenuItemsAreRed) {
    const SourceConfig player = makeSource(SourceKind::application("org.example.player"), "Player");
    edit([&player](RoutingConfig& config) { config.sources.push_back(player); });
    controller->toggleConnection(Endpoint::source(player.id), kLine1, 0, 2);
    QCoreApplication::processEvents();
    const QColor red = Theme::color(ColorRole::red, grid->palette());
    struct Case {
        QMenu* menu;
        QStringList redTitles;
    };
    const std::vector<Case> cases{
        {grid->groupTitle("speakers")->buildMenu(), {QStringLiteral("モニター先から外す")}},
        {grid->rowHeader(player.id.uuidString())->buildMenu(),
         {QStringLiteral("このアプリを除外（自動で追加しない）"), QStringLiteral("音源を削除")}},
        {grid->cell(player.id.uuidString(), kLine1, {0, 2})->buildMenu(), {QStringLiteral("切断")}},
    };
    for (const Case& c : cases) {
        std::unique_ptr<QMenu> owned(c.menu);
        auto* menu = qobject_cast<ActionMenu*>(c.menu);
        ASSERT_NE(menu, nullptr);
        QStringList seen;
        for (QAction* action : menu->actions()) {
            if (action->isSeparator() || action->menu() != nullptr || !action->isEnabled()) {
                continue;
            }
            const bool isRed = menu->titleColor(*action) == red;
            EXPECT_EQ(isRed, c.redTitles.contains(action->text())) << action->text().toStdString();
            if (isRed) {
                seen << action->text();
            }
        }
        EXPECT_EQ(seen, c.redTitles);
        if (c.redTitles.size() == 2) {
            menu->adjustSize();
            EXPECT_TRUE(menu->grab().save(snapshotPath(QStringLiteral("menu-row-header"))));
        }
    }
}

// Names from outside read as written wherever the mixer shows them in a tooltip or a menu, markup and
// "&" included.
TEST_F(MatrixGridTest, NamesFromOutsideShowAsWritten) {
    const std::string mix = "<b>Mix</b> & Co";
    const SourceConfig radio = makeSource(SourceKind::application("org.example.radio"), "<i>Radio</i>");
    edit([&radio](RoutingConfig& config) {
        config.sources.push_back(radio);
        config.monitorDeviceUIDs.push_back("mix");
    });
    Access::publishDevices(*controller, {device(kLine1, "Line & <u>1</u>", 2, true)},
                           {device("speakers", "Speakers", 2), device("mix", mix, 2)}, {});
    emit controller->outputDevicesChanged();
    emit controller->linesChanged();
    QCoreApplication::processEvents();
    // What a tooltip shows: Qt renders it as markup when it looks like markup.
    const auto shown = [](const QString& toolTip) {
        QTextDocument document;
        if (Qt::mightBeRichText(toolTip)) {
            document.setHtml(toolTip);
        } else {
            document.setPlainText(toolTip);
        }
        return document.toPlainText()
            .replace(QChar::LineSeparator, u'\n')
            .replace(QChar::ParagraphSeparator, u'\n');
    };
    ASSERT_NE(grid->groupTitle("mix"), nullptr);
    EXPECT_EQ(shown(grid->groupTitle("mix")->toolTip()), QString::fromStdString(mix));
    ASSERT_NE(grid->rowHeader(radio.id.uuidString()), nullptr);
    EXPECT_TRUE(shown(grid->rowHeader(radio.id.uuidString())->toolTip())
                    .startsWith(QStringLiteral("<i>Radio</i> (org.example.radio)\n")));
    RowHeader* line = grid->rowHeader(kLine1);
    ASSERT_NE(line, nullptr);
    std::unique_ptr<QMenu> menu(line->buildMenu());
    EXPECT_EQ(menu->actions().value(0)->iconText(),
              QStringLiteral("Line & <u>1</u> とモニター先の音量を連動させない"));
}

TEST_F(MatrixGridTest, ALinesOwnVolumeShowsADragUntilAMomentAfterItEnds) {
    LineHardwareVolume* volume = grid->rowHeader(kLine1)->lineVolume();
    ASSERT_NE(volume, nullptr);
    EXPECT_EQ(volume->number()->content().text, "100%");
    CompactSlider* slider = volume->slider();
    const int x = static_cast<int>(std::lround(slider->positionOf(LineHardwareVolume::sliderUnits / 3)));
    QTest::mousePress(slider, Qt::LeftButton, {}, QPoint(x, slider->height() / 2));
    ASSERT_TRUE(volume->dragging());
    EXPECT_NEAR(*volume->dragging(), 0.33f, 0.011f);
    EXPECT_EQ(volume->number()->content().text,
              std::to_string(static_cast<int>(std::lround(*volume->dragging() * 100))) + "%");
    QTest::mouseRelease(slider, Qt::LeftButton, {}, QPoint(x, slider->height() / 2));
    QTest::qWait(100);
    EXPECT_TRUE(volume->dragging()) << "held for a moment after the drag";
    ASSERT_TRUE(QTest::qWaitFor([&] { return !volume->dragging(); }, 1000));
    // No server answered the write here: the published value shows again.
    EXPECT_EQ(volume->number()->content().text, "100%");
}

TEST_F(MatrixGridTest, CellMenusAndDetailsEditTheConnectionTheyShow) {
    const Endpoint from = Endpoint::source(system.id);
    MatrixCell* cell = grid->cell(system.id.uuidString(), kLine2, {0, 2});
    EXPECT_EQ(titles(cell->buildMenu()), QStringList{QStringLiteral("接続")});
    QTest::mouseClick(cell, Qt::LeftButton, {}, cell->buttonRect(1, 0).center().toPoint());
    QCoreApplication::processEvents();
    ASSERT_EQ(controller->config().connections.size(), 1u);
    EXPECT_EQ(controller->config().connections[0].routeMask, 4);
    EXPECT_EQ(titles(cell->buildMenu()),
              (QStringList{QStringLiteral("割り当て: ボタンで指定（カスタム）"), QStringLiteral("割り当て"),
                           QStringLiteral("ミュート"), QStringLiteral("詳細設定…"), QStringLiteral("—"),
                           QStringLiteral("切断")}));
    ASSERT_TRUE(trigger(cell->buildMenu(), QStringLiteral("ステレオ")));
    EXPECT_EQ(controller->config().connections[0].mode, MappingMode::stereo);
    EXPECT_EQ(controller->config().connections[0].routeMask, std::nullopt);
    ASSERT_TRUE(trigger(cell->buildMenu(), QStringLiteral("ミュート")));
    EXPECT_TRUE(controller->config().connections[0].isMuted);
    EXPECT_EQ(cell->toolTipAt({1, 1}), QStringLiteral("Line 2 ch1-2 · ステレオ · +0.0 dB · ミュート中\n"
                                                      "右クリックで割り当て・ゲインを変更"));

    // A split column's connection: the mono source picker, in the menu and in the detail.
    controller->setSplit(true, kLine2, 2);
    controller->toggleConnection(from, kLine2, 3, 1);
    QCoreApplication::processEvents();
    MatrixCell* single = grid->cell(system.id.uuidString(), kLine2, {3, 1});
    ASSERT_NE(single, nullptr);
    EXPECT_EQ(controller->config().connections.back().sourceChannel, 1) << "a right channel takes the right";
    ASSERT_TRUE(trigger(single->buildMenu(), QStringLiteral("L+R（モノラルにまとめる）")));
    EXPECT_TRUE(controller->config().connections.back().monoMix);
    EXPECT_EQ(controller->config().connections.back().sourceChannel, 0);

    single->showDetail();
    ConnectionDetail* detail = single->detail();
    ASSERT_NE(detail, nullptr);
    EXPECT_TRUE(detail->showsRow(detail->monoPicker()));
    EXPECT_FALSE(detail->showsRow(detail->modePicker()));
    EXPECT_EQ(detail->monoPicker()->currentText(), QStringLiteral("L+R（モノラルにまとめる）"));
    detail->monoPicker()->choose(1);
    EXPECT_EQ(controller->config().connections.back().sourceChannel, 1);
    EXPECT_FALSE(controller->config().connections.back().monoMix);
    QCoreApplication::processEvents();
    EXPECT_EQ(detail->monoPicker()->currentText(), QStringLiteral("R（右）"));
    single->detailPopover()->close();
}

TEST_F(MatrixGridTest, ANewDisplayScaleRebuildsTheScaledQuadrantsAndKeepsTheScrollPosition) {
    grid->resize(700, 300);
    QCoreApplication::processEvents();
    grid->scrollView()->relayout();
    QScrollBar* vertical = grid->scrollView()->contentArea()->verticalScrollBar();
    ASSERT_GT(vertical->maximum(), 40);
    vertical->setValue(40);
    RowHeader* before = grid->rowHeader(mic.id.uuidString());

    UserDefaults::standard().set(QStringLiteral("TDUIScale"), 1.5);
    QCoreApplication::processEvents();
    grid->scrollView()->relayout();
    EXPECT_EQ(grid->scale(), 1.5);
    EXPECT_NE(grid->rowHeader(mic.id.uuidString()), before);
    EXPECT_EQ(grid->rowHeader(mic.id.uuidString())->height(), 87);
    EXPECT_EQ(grid->scrollView()->leftArea()->width(), 429);
    EXPECT_EQ(grid->pairHeader("speakers", {0, 2})->width(), 78);
    EXPECT_EQ(vertical->value(), 40);
    EXPECT_EQ(grid->scrollView()->leftArea()->verticalScrollBar()->value(), 40);
}

// The update notice goes above everything else; without one the matrix starts at the top. The window
// keeps its minimum size and counts the connections.
TEST(RouterViewLayoutTest, TheUpdateNoticeSlotTakesNoSpaceWhileEmpty) {
    TemporaryXdgHome configHome{"XDG_CONFIG_HOME"};
    TemporaryDataHome dataHome;
    RoutingConfig config;
    config.connections.emplace_back().toDeviceUID = "speakers";
    auto controller = PasslessController::create(config);

    RouterView plain(controller, controller->meters(), UserDefaults::standard(), nullptr);
    plain.resize(800, 500);
    plain.show();
    QCoreApplication::processEvents();
    EXPECT_EQ(plain.updateNotice(), nullptr);
    EXPECT_EQ(plain.grid()->y(), 0);
    EXPECT_EQ(plain.minimumSize(), QSize(760, 420));
    EXPECT_EQ(plain.statusBar()->connections()->text(), QStringLiteral("1 接続"));
    EXPECT_TRUE(plain.statusBar()->version()->toolTip().startsWith(QStringLiteral("バージョン ")));

    auto notice = std::make_unique<QWidget>();
    notice->setFixedHeight(30);
    QWidget* placed = notice.get();
    RouterView noticed(controller, controller->meters(), UserDefaults::standard(), std::move(notice));
    noticed.resize(800, 500);
    noticed.show();
    QCoreApplication::processEvents();
    EXPECT_EQ(noticed.updateNotice(), placed);
    EXPECT_EQ(placed->y(), 0);
    EXPECT_EQ(noticed.grid()->y(), 30);
}

} // namespace
