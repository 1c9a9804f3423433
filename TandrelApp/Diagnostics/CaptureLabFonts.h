// The capture lab's monospaced text (the channel labels and the statistics line): the text style's size
// in the monospaced member of the CJK family, so the Japanese of the format texts still renders.
#pragma once

#include <QFont>

#include "TandrelApp/Support/Theme.h"

namespace CaptureLabFonts {

inline QFont monospaced(const Theme::Metrics& metrics, TextStyle style) {
    QFont font = metrics.font(style);
    font.setFamilies({QStringLiteral("Noto Sans Mono CJK JP"), QString::fromLatin1(Theme::cjkFamily)});
    font.setStyleHint(QFont::Monospace);
    return font;
}

} // namespace CaptureLabFonts
