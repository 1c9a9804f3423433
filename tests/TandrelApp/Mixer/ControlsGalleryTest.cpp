// A gallery of the mixer's shared controls, rendered offscreen at scale 1.0 and 1.5 and written to
// build/snapshots/mixer-controls-scale100.png and -scale150.png for people to review: faders at -60, 0
// and +12 dB, muted and not; meters at -70, -20, -6 and -1 dBFS; volume controls; an editable number in
// its three states; the frozen-header scroll view with scrolled cells. The test checks geometry (the
// headers stay put while the cells scroll; the faders' knobs), never pixels.
#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include <QApplication>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QScrollBar>
#include <QTest>
#include <QVBoxLayout>
#include <gtest/gtest.h>

#include "MatrixPattern.h"
#include "Support/Snapshots.h"
#include "TandrelApp/Mixer/ChannelVolumeList.h"
#include "TandrelApp/Mixer/EditableNumber.h"
#include "TandrelApp/Mixer/FrozenHeaderScrollView.h"
#include "TandrelApp/Mixer/LiveMeter.h"
#include "TandrelApp/Mixer/VerticalFader.h"
#include "TandrelApp/Mixer/VerticalFaderModel.h"
#include "TandrelApp/Mixer/VolumeControl.h"
#include "TandrelApp/Routing/Volume.h"

namespace {

float dBFS(double dB) {
    return static_cast<float>(std::pow(10.0, dB / 20.0));
}

QLabel* caption(const QString& text, const Theme::Metrics& metrics, TextStyle style = TextStyle::caption2,
                Theme::Weight weight = Theme::Weight::regular) {
    auto* label = new QLabel(text);
    label->setFont(metrics.font(style, {.weight = weight}));
    QPalette colors = label->palette();
    colors.setColor(QPalette::WindowText, Theme::color(ColorRole::secondary, colors));
    label->setPalette(colors);
    return label;
}

// A titled block of the gallery.
QWidget* section(const QString& title, QLayout* content, const Theme::Metrics& metrics) {
    auto* box = new QWidget;
    auto* layout = new QVBoxLayout(box);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(metrics.px(8));
    layout->addWidget(caption(title, metrics, TextStyle::caption, Theme::Weight::semibold));
    layout->addLayout(content);
    layout->addStretch();
    return box;
}

class Gallery {
public:
    explicit Gallery(Theme::Metrics metrics)
        : metrics_(metrics) {
        root.setAutoFillBackground(true);
        auto* layout = new QVBoxLayout(&root);
        const int margin = metrics.px(20);
        layout->setContentsMargins(margin, margin, margin, margin);
        layout->setSpacing(metrics.px(20));
        auto* first = new QHBoxLayout;
        first->setSpacing(metrics.px(32));
        first->addWidget(section(QStringLiteral("フェーダー"), faders(), metrics));
        first->addWidget(section(QStringLiteral("メーター"), meters(), metrics));
        first->addStretch();
        auto* second = new QHBoxLayout;
        second->setSpacing(metrics.px(32));
        second->addWidget(section(QStringLiteral("音量"), volumes(), metrics));
        second->addWidget(section(QStringLiteral("数値入力"), numbers(), metrics));
        second->addStretch();
        layout->addLayout(first);
        layout->addLayout(second);
        layout->addWidget(section(QStringLiteral("見出しを固定したスクロール"), scrolling(), metrics));
        store.setProvider([this] { return peaks; });
    }

    QWidget root;
    MeterStore store{QStringList{"--no-meters"}};
    MeterStore::Levels peaks;
    std::vector<VerticalFader*> faderWidgets;
    std::vector<LiveMeter*> meterWidgets;
    FrozenHeaderScrollView* scroll = nullptr;
    MatrixPattern* top = nullptr;
    MatrixPattern* left = nullptr;
    MatrixPattern* cells = nullptr;
    int beeps = 0;

    static constexpr float faderLevels[] = {-60, 0, 12};
    static constexpr double meterLevels[] = {-70, -20, -6, -1};

private:
    QLayout* faders() {
        auto* grid = new QGridLayout;
        grid->setHorizontalSpacing(metrics_.px(14));
        grid->setVerticalSpacing(metrics_.px(4));
        int column = 0;
        for (bool muted : {false, true}) {
            grid->addWidget(caption(muted ? QStringLiteral("ミュート") : QStringLiteral("通常"), metrics_), 0,
                            column, 1, 3);
            for (float level : faderLevels) {
                auto* fader = new VerticalFader(metrics_, 80);
                fader->setValue(level, muted);
                faderWidgets.push_back(fader);
                grid->addWidget(fader, 1, column, Qt::AlignHCenter);
                grid->addWidget(caption(QString::asprintf("%+.0f dB", static_cast<double>(level)), metrics_),
                                2, column, Qt::AlignHCenter);
                ++column;
            }
            column += 1;
            grid->setColumnMinimumWidth(column - 1, metrics_.px(10));
        }
        return grid;
    }

    QLayout* meters() {
        const MeterKey key = MeterKey::device("gallery");
        std::vector<float>& levels = peaks[key];
        auto* grid = new QGridLayout;
        grid->setHorizontalSpacing(metrics_.px(12));
        grid->setVerticalSpacing(metrics_.px(6));
        int channel = 0;
        for (double level : meterLevels) {
            levels.push_back(dBFS(level));
            auto* vertical = new LiveMeter(store, key, channel, true, metrics_);
            vertical->setFixedHeight(metrics_.px(80));
            meterWidgets.push_back(vertical);
            grid->addWidget(vertical, 0, channel, Qt::AlignHCenter);
            grid->addWidget(caption(QString::asprintf("%.0f", level), metrics_), 1, channel,
                            Qt::AlignHCenter);
            auto* horizontal = new LiveMeter(store, key, channel, false, metrics_);
            horizontal->setFixedWidth(metrics_.px(150));
            meterWidgets.push_back(horizontal);
            grid->addWidget(caption(QString::asprintf("%.0f dBFS", level), metrics_), 2 + channel, 5,
                            Qt::AlignRight);
            grid->addWidget(horizontal, 2 + channel, 6, Qt::AlignVCenter);
            ++channel;
        }
        grid->setColumnMinimumWidth(4, metrics_.px(16));
        return grid;
    }

    QLayout* volumes() {
        auto* list = new QVBoxLayout;
        list->setSpacing(metrics_.px(6));
        struct Row {
            float dB;
            bool muted;
            bool hasMute;
        };
        for (const Row& row : {Row{0, false, true}, Row{-6.5f, false, true}, Row{-30, false, true},
                               Row{-75, false, true}, Row{-6.5f, true, true}, Row{3, false, false}}) {
            auto* control = new VolumeControl(metrics_);
            control->setValues(row.dB, row.muted, true, 52);
            control->setOnChange([](float) {});
            if (!row.hasMute) {
                control->setOnMute({});
            } else {
                control->setOnMute([](bool) {});
            }
            control->setFixedWidth(metrics_.px(200));
            list->addWidget(control);
        }
        auto* channels = new ChannelVolumeList(metrics_);
        channels->setChannels(
            {0, 1}, [](int channel) { return channel == 0 ? std::string("ch1 L") : std::string("ch2 R"); },
            [](int channel) { return channel == 0 ? -3.0f : 0.0f; }, [](int channel) { return channel == 1; },
            44);
        channels->setFixedWidth(metrics_.px(280));
        list->addSpacing(metrics_.px(6));
        list->addWidget(caption(QStringLiteral("チャンネルごと"), metrics_));
        list->addWidget(channels);
        return list;
    }

    // The editable number walked through its states on a widget of its own, photographed at each.
    QLayout* numbers() {
        auto* list = new QGridLayout;
        list->setHorizontalSpacing(metrics_.px(10));
        list->setVerticalSpacing(metrics_.px(8));
        QWidget stage;
        auto* stageLayout = new QVBoxLayout(&stage);
        const int padding = metrics_.px(4);
        stageLayout->setContentsMargins(padding, padding, padding, padding);
        auto* number = new EditableNumber(metrics_);
        stageLayout->addWidget(number);
        number->setContent({.text = "-6.5 dB", .editingText = "-6.5", .width = 52, .help = ""});
        number->setParse([](std::string_view text) { return Volume::parseDB(text); });
        number->setBeep([this] { ++beeps; });
        stage.show();
        const auto photograph = [&](int row, const QString& title) {
            QApplication::processEvents();
            auto* picture = new QLabel;
            picture->setPixmap(stage.grab());
            list->addWidget(caption(title, metrics_), row, 0, Qt::AlignRight | Qt::AlignVCenter);
            list->addWidget(picture, row, 1, Qt::AlignLeft | Qt::AlignVCenter);
        };
        photograph(0, QStringLiteral("表示"));
        QTest::mouseClick(number->readout(), Qt::LeftButton);
        photograph(1, QStringLiteral("入力中"));
        QTest::keyClicks(number->field(), "abc");
        QTest::keyClick(number->field(), Qt::Key_Return);
        EXPECT_TRUE(number->model().invalid());
        photograph(2, QStringLiteral("無効な入力"));
        return list;
    }

    QLayout* scrolling() {
        auto* layout = new QVBoxLayout;
        scroll = new FrozenHeaderScrollView;
        top = new MatrixPattern(MatrixPattern::Part::columnHeaders, 10, 8, metrics_);
        left = new MatrixPattern(MatrixPattern::Part::rowHeaders, 10, 8, metrics_);
        cells = new MatrixPattern(MatrixPattern::Part::cells, 10, 8, metrics_);
        scroll->setCorner(new MatrixPattern(MatrixPattern::Part::corner, 10, 8, metrics_));
        scroll->setTop(top);
        scroll->setLeft(left);
        scroll->setContent(cells);
        scroll->setFixedSize(metrics_.size(460, 230));
        layout->addWidget(scroll);
        return layout;
    }

    Theme::Metrics metrics_;
};

class ControlsGalleryTest : public ::testing::TestWithParam<double> {};

TEST_P(ControlsGalleryTest, RendersEveryControlWithFrozenHeadersAndKnobsInPlace) {
    const Theme::Metrics metrics(GetParam());
    Gallery gallery(metrics);
    gallery.root.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&gallery.root));
    QApplication::processEvents();
    gallery.store.tick();
    EXPECT_EQ(gallery.beeps, 1) << "the refused entry of the number's third state beeped";

    // Faders: the knob's centre on the track's bottom, on the 0 dB tick and on the top.
    ASSERT_EQ(gallery.faderWidgets.size(), 6u);
    for (std::size_t index = 0; index < gallery.faderWidgets.size(); ++index) {
        const VerticalFader* fader = gallery.faderWidgets[index];
        const QRectF track = fader->trackRect();
        EXPECT_DOUBLE_EQ(track.height(), metrics.length(80));
        const double knob = fader->knobRect().center().y();
        switch (index % 3) {
        case 0:
            EXPECT_DOUBLE_EQ(knob, track.bottom()) << "fader " << index;
            break;
        case 1:
            EXPECT_NEAR(knob, track.bottom() - VerticalFaderModel::zeroFraction * track.height(), 1e-4);
            EXPECT_NEAR(knob, fader->tickRect().bottom(), 1e-4);
            break;
        case 2:
            EXPECT_DOUBLE_EQ(knob, track.top()) << "fader " << index;
            break;
        }
    }

    // Meters: -70 dBFS shows nothing, the others their share of the 60 dB scale.
    const LiveMeter* silent = gallery.meterWidgets[0];
    EXPECT_TRUE(silent->fillRect().isEmpty());
    const LiveMeter* loud = gallery.meterWidgets[6]; // -1 dBFS, vertical
    EXPECT_NEAR(loud->fillRect().height(), loud->height() * 59.0 / 60.0, 0.01);

    // Scroll the cells by two columns and one and a half rows: the headers stay where they are and
    // follow on their own axis.
    FrozenHeaderScrollView* scroll = gallery.scroll;
    const QRect topArea = scroll->topArea()->geometry();
    const QRect leftArea = scroll->leftArea()->geometry();
    EXPECT_EQ(topArea.height(), metrics.px(MatrixPattern::headerHeight));
    EXPECT_EQ(leftArea.width(), metrics.px(MatrixPattern::rowHeaderWidth));
    scroll->horizontalScrollBar()->setValue(metrics.px(2 * MatrixMetrics::columnWidth));
    scroll->verticalScrollBar()->setValue(metrics.px(1.5 * MatrixMetrics::sourceRowHeight));
    QApplication::processEvents();
    EXPECT_EQ(scroll->topArea()->geometry(), topArea);
    EXPECT_EQ(scroll->leftArea()->geometry(), leftArea);
    EXPECT_EQ(scroll->topArea()->horizontalScrollBar()->value(), scroll->horizontalScrollBar()->value());
    EXPECT_EQ(scroll->leftArea()->verticalScrollBar()->value(), scroll->verticalScrollBar()->value());
    const QPoint header = gallery.top->mapTo(scroll, QPoint(gallery.top->columnX(4), 0));
    const QPoint cell =
        gallery.cells->mapTo(scroll, QPoint(gallery.cells->columnX(4), gallery.cells->rowY(3)));
    const QPoint row = gallery.left->mapTo(scroll, QPoint(0, gallery.left->rowY(3)));
    EXPECT_EQ(header.x(), cell.x());
    EXPECT_EQ(row.y(), cell.y());
    EXPECT_EQ(header.x(), leftArea.right() + 1 + metrics.px(2 * MatrixMetrics::columnWidth))
        << "column 4 moved left by the two scrolled columns";

    const QString name = QStringLiteral("mixer-controls-scale%1").arg(std::lround(GetParam() * 100));
    EXPECT_TRUE(writeSnapshot(gallery.root, name)) << snapshotPath(name).toStdString();
}

INSTANTIATE_TEST_SUITE_P(Scales, ControlsGalleryTest, ::testing::Values(1.0, 1.5), [](const auto& info) {
    return "Scale" + std::to_string(std::lround(info.param * 100));
});

} // namespace
