// The title of one column group (a line or a monitor device) above its column headers: the device's
// icon and name, its channel caption, the switch for the columns' faders, the buttons that show fewer
// or more pairs, and the device's master volume; the context menu splits or joins every shown pair
// and removes a monitor. It keeps no state: everything comes from GroupTitleModel at each refresh and
// every control calls one controller operation. GUI thread only.
#pragma once

#include <QWidget>

#include "TandrelApp/Mixer/GroupTitleModel.h"
#include "TandrelApp/Support/Theme.h"

class ElidedLabel;
class GlyphButton;
class GlyphView;
class QLabel;
class QMenu;
class RoutingController;
class VolumeControl;

class GroupTitle : public QWidget {
    Q_OBJECT

public:
    GroupTitle(RoutingController& controller, Theme::Metrics metrics, QWidget* parent = nullptr);

    void display(const ColumnGroup& group);

    const GroupTitleModel::Title& title() const { return title_; }
    GlyphView* icon() const { return icon_; }
    ElidedLabel* name() const { return name_; }
    QLabel* caption() const { return caption_; }
    GlyphButton* faderSwitch() const { return faderSwitch_; }
    GlyphButton* fewerPairs() const { return fewer_; }
    GlyphButton* morePairs() const { return more_; }
    VolumeControl* master() const { return master_; }

    // The context menu, built anew; the caller owns it.
    QMenu* buildMenu(QWidget* parent = nullptr);

protected:
    void contextMenuEvent(QContextMenuEvent* event) override;

private:
    // Splits (or joins) every shown pair that has two channels, one configuration change each.
    void splitAll(bool split);

    RoutingController& controller_;
    Theme::Metrics metrics_;
    GroupTitleModel::Title title_;
    GlyphView* icon_;
    ElidedLabel* name_;
    QLabel* caption_;
    GlyphButton* faderSwitch_;
    GlyphButton* fewer_;
    GlyphButton* more_;
    VolumeControl* master_;
};
