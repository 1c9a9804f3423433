// The detail popover's form of one matrix connection: its mapping (or, for a single-channel column,
// the mono source picker), the source channel it starts at, its gain slider with a readout, its mute
// and a reset to 0 dB. It finds the connection again by id at every refresh and shows nothing once it
// is gone; each edit is one configuration change of that connection. GUI thread only.
#pragma once

#include <optional>

#include <QWidget>

#include "TandrelApp/Mixer/ConnectionDetailModel.h"
#include "TandrelApp/Support/Theme.h"

class CompactSlider;
class MonoSourcePicker;
class QCheckBox;
class QComboBox;
class QFormLayout;
class QLabel;
class QPushButton;
class RoutingController;

class ConnectionDetail : public QWidget {
    Q_OBJECT

public:
    ConnectionDetail(RoutingController& controller, Theme::Metrics metrics, QWidget* parent = nullptr);

    // Shows the connection `id` (none: nothing) of a source with `sourceChannels` channels.
    void display(std::optional<UUID> id, std::optional<std::uint32_t> sourceChannels);

    // The connection shown, as found at the last refresh.
    const std::optional<Connection>& connection() const { return connection_; }

    QComboBox* modePicker() const { return modeBox_; }
    MonoSourcePicker* monoPicker() const { return monoPicker_; }
    QComboBox* sourceChannelPicker() const { return sourceBox_; }
    CompactSlider* gainSlider() const { return gainSlider_; }
    QLabel* gainReadout() const { return gainReadout_; }
    QCheckBox* muteToggle() const { return muteToggle_; }
    QPushButton* resetButton() const { return resetButton_; }
    // Whether a row of the form is shown: the pickers depend on the connection.
    bool showsRow(QWidget* field) const;

    // Moves the gain as the slider would, to a position in dB.
    void moveGain(double position);

private:
    void edit(const std::function<void(Connection&)>& change);

    RoutingController& controller_;
    Theme::Metrics metrics_;
    std::optional<UUID> id_;
    std::optional<Connection> connection_;
    std::vector<std::int64_t> sourceChoices_;
    QWidget* form_;
    QFormLayout* rows_;
    QComboBox* modeBox_;
    MonoSourcePicker* monoPicker_;
    QComboBox* sourceBox_;
    QWidget* gainRow_;
    CompactSlider* gainSlider_;
    QLabel* gainReadout_;
    QCheckBox* muteToggle_;
    QPushButton* resetButton_;
};
