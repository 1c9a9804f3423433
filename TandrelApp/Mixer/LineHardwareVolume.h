// A line device's own output volume in a line row of the matrix (the value the volume keys change), in
// percent with a mute button, a slider and a typed percent. Every slider step writes the device; while
// a drag lasts, and for 0.3 s after it, the view shows the dragged value rather than the published
// one, which arrives later. GUI thread only.
#pragma once

#include <optional>

#include <QTimer>
#include <QWidget>

#include "TandrelApp/Engine/AudioDeviceInfo.h"
#include "TandrelApp/Support/Theme.h"

class CompactSlider;
class EditableNumber;
class GlyphButton;
class RoutingController;

class LineHardwareVolume : public QWidget {
    Q_OBJECT

public:
    LineHardwareVolume(RoutingController& controller, Theme::Metrics metrics, QWidget* parent = nullptr);

    void display(const AudioDeviceInfo& line);

    // The value being dragged, while it is held.
    std::optional<float> dragging() const { return dragging_; }
    // The slider's steps per unit of the 0 ... 1 scalar.
    static constexpr int sliderUnits = 1000;

    GlyphButton* muteButton() const { return muteButton_; }
    CompactSlider* slider() const { return slider_; }
    EditableNumber* number() const { return number_; }

private:
    void refresh();
    void sliderMoved(int position);
    void dragEnded();

    RoutingController& controller_;
    Theme::Metrics metrics_;
    AudioDeviceInfo line_;
    std::optional<float> dragging_;
    QTimer dragClear_;
    GlyphButton* muteButton_;
    CompactSlider* slider_;
    EditableNumber* number_;
};
