// Tooltips that show a text as it is written. Qt reads a tooltip as markup when it looks like some, so a
// device, application or line name such as "<b>Mix</b>" would lose its tags; the views whose tooltips
// carry names from outside set them through here. GUI thread only.
#pragma once

#include <string>

#include <QString>

namespace PlainText {

// `text` itself, or, where Qt would take it for markup, the markup that shows it literally.
QString toolTip(const QString& text);
QString toolTip(const std::string& text);

} // namespace PlainText
