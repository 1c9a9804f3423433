// What the capture lab's widgets share of their look: the view model's texts as Qt strings, and the
// monospaced text of the channel labels and the statistics line (the text style's size in the monospaced
// member of the CJK family, so Japanese in a format text still renders).
#pragma once

#include <string_view>

#include <QFont>
#include <QString>

#include "TandrelApp/Support/Theme.h"

namespace CaptureLabStyle {

inline QString text(std::string_view utf8) {
    return QString::fromUtf8(utf8.data(), static_cast<qsizetype>(utf8.size()));
}

inline QFont monospaced(const Theme::Metrics& metrics, TextStyle style) {
    QFont font = metrics.font(style);
    font.setFamilies({QStringLiteral("Noto Sans Mono CJK JP"), QString::fromLatin1(Theme::cjkFamily)});
    font.setStyleHint(QFont::Monospace);
    return font;
}

} // namespace CaptureLabStyle
