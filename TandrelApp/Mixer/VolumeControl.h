// The one-line volume editor: a mute button, a slider over -60 ... +12 dB and a click-to-type decibel
// readout, with a context menu that resets to 0 dB and toggles mute. It keeps no volume of its own: it
// shows what the caller passes and reports each user action through the caller's functions; the caller
// applies it (a controller setter) and passes the result back. Row headers, group titles, pair and
// channel editors and the menu-bar panel use it. GUI thread only.
#pragma once

#include <functional>

#include <QMenu>
#include <QWidget>

#include "TandrelApp/Support/Theme.h"

class CompactSlider;
class EditableNumber;
class GlyphButton;

class VolumeControl : public QWidget {
    Q_OBJECT

public:
    using OnChange = std::function<void(float dB)>;
    using OnMute = std::function<void(bool muted)>;

    explicit VolumeControl(Theme::Metrics metrics, QWidget* parent = nullptr);

    // What the control shows. `labelWidth` is the readout's width in points; the mute button is drawn
    // only when `showsMute` is true and a mute function is set.
    void setValues(float dB, bool isMuted, bool showsMute = true, double labelWidth = 52);
    void setOnChange(OnChange onChange) { onChange_ = std::move(onChange); }
    // An empty function means the control offers no mute at all (no button, no menu item).
    void setOnMute(OnMute onMute);

    float dB() const { return dB_; }
    bool isMuted() const { return isMuted_; }

    // The row's context menu, built anew from the current values; the caller owns it.
    QMenu* buildMenu(QWidget* parent = nullptr);

    GlyphButton* muteButton() const { return muteButton_; }
    CompactSlider* slider() const { return slider_; }
    EditableNumber* readout() const { return readout_; }

protected:
    void contextMenuEvent(QContextMenuEvent* event) override;

private:
    void refresh();
    void sliderMoved(int position);

    Theme::Metrics metrics_;
    float dB_ = 0.0f;
    bool isMuted_ = false;
    bool showsMute_ = true;
    double labelWidth_ = 52;
    OnChange onChange_;
    OnMute onMute_;
    GlyphButton* muteButton_;
    CompactSlider* slider_;
    EditableNumber* readout_;
};
