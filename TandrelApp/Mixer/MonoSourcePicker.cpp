#include "TandrelApp/Mixer/MonoSourcePicker.h"

#include <QSignalBlocker>

#include "TandrelApp/Routing/RoutingController.h"

MonoSourcePicker::MonoSourcePicker(RoutingController& controller, QWidget* parent)
    : QComboBox(parent)
    , controller_(controller) {
    connect(this, &QComboBox::activated, this, &MonoSourcePicker::choose);
}

void MonoSourcePicker::display(const Connection& connection, std::optional<std::uint32_t> sourceChannels) {
    connectionID_ = connection.id;
    auto options = ConnectionDetailModel::monoOptions(sourceChannels);
    const QSignalBlocker blocker(this);
    // The items stay while they are the same, so an open list is not disturbed by a refresh.
    if (options != options_) {
        options_ = std::move(options);
        clear();
        for (const auto& option : options_) {
            addItem(QString::fromStdString(option.title));
        }
    }
    const auto selected = ConnectionDetailModel::monoSelection(connection, sourceChannels);
    auto found = std::ranges::find(options_, selected, &ConnectionDetailModel::MonoOption::choice);
    setCurrentIndex(found == options_.end() ? -1 : static_cast<int>(found - options_.begin()));
}

void MonoSourcePicker::choose(int index) {
    if (index < 0 || index >= static_cast<int>(options_.size())) {
        return;
    }
    auto next = ConnectionDetailModel::choosingMonoSource(controller_.config(), connectionID_,
                                                          options_[static_cast<std::size_t>(index)].choice);
    if (next) {
        controller_.setConfig(std::move(*next));
    }
}
