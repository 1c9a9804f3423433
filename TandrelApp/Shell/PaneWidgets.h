// Small pieces the menu-bar panel and the settings panes build their widgets from, beside the mixer's
// (MixerStyle): the system's texts as Qt strings, labels from them, a pane's column and buttons with
// room around their titles. GUI thread only.
#pragma once

#include <string_view>

#include <QString>

#include "TandrelApp/Support/Theme.h"

class QLabel;
class QPushButton;
class QVBoxLayout;
class QWidget;

namespace PaneWidgets {

QString text(std::string_view utf8);
// MixerStyle::label of the text.
QLabel* label(std::string_view utf8, const QFont& font, ColorRole role = ColorRole::primary);
// The same, wrapped over as many lines as it needs.
QLabel* wrappedLabel(std::string_view utf8, const QFont& font, ColorRole role);
// A settings pane's column: padded 20 points, its parts 12 apart, opened by the pane's explanation in
// the callout style.
QVBoxLayout* paneColumn(QWidget& pane, const Theme::Metrics& metrics, std::string_view explanation);
// A push button whose title keeps some space from its edges, as the desktop's buttons do.
QPushButton* button(std::string_view title, const Theme::Metrics& metrics);

} // namespace PaneWidgets
