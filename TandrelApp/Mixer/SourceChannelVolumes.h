// The popover content of a source row's channel button: one volume control per channel of the source,
// applied on top of the source's own volume for all its connections. It finds the source again at each
// refresh and shows nothing once the source is gone. GUI thread only.
#pragma once

#include <QWidget>

#include "TandrelApp/Support/Theme.h"
#include "TandrelApp/Support/UUID.h"

class ChannelVolumeList;
class QLabel;
class RoutingController;

class SourceChannelVolumes : public QWidget {
    Q_OBJECT

public:
    SourceChannelVolumes(RoutingController& controller, Theme::Metrics metrics, const UUID& sourceID,
                         QWidget* parent = nullptr);

    void refresh();

    QLabel* title() const { return title_; }
    ChannelVolumeList* channels() const { return channels_; }
    // Whether the source still exists (the content is shown).
    bool showsSource() const;

private:
    RoutingController& controller_;
    UUID sourceID_;
    QWidget* content_;
    QLabel* title_;
    ChannelVolumeList* channels_;
};
