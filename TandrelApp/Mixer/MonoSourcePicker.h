// The picker of what a single-channel (split) column receives from its source: one channel, or a pair
// summed to mono. It shows the connection as last displayed and writes the choice to the connection
// with the same id as one configuration change. Used in a connection's detail popover. GUI thread only.
#pragma once

#include <optional>

#include <QComboBox>

#include "TandrelApp/Mixer/ConnectionDetailModel.h"

class RoutingController;

class MonoSourcePicker : public QComboBox {
    Q_OBJECT

public:
    explicit MonoSourcePicker(RoutingController& controller, QWidget* parent = nullptr);

    void display(const Connection& connection, std::optional<std::uint32_t> sourceChannels);

    const std::vector<ConnectionDetailModel::MonoOption>& options() const { return options_; }
    // Chooses an option as the user would.
    void choose(int index);

private:
    RoutingController& controller_;
    UUID connectionID_;
    std::vector<ConnectionDetailModel::MonoOption> options_;
};
