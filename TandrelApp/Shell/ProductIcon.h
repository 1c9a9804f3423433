// Corvane's own icon, a waveform mark on a blue tile, painted at every size the desktop asks for: the
// tray icon, the windows' icon and the alerts use it. Resources/qorvix.tandrel.app.svg is the same mark
// for the installed desktop entry. GUI thread only.
#pragma once

#include <QIcon>
#include <QImage>

namespace ProductIcon {

// The icon at 16 to 256 pixels.
QIcon icon();
// The mark on a transparent square of `size` pixels.
QImage image(int size);

} // namespace ProductIcon
