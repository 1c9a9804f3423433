// The routing matrix's sizes in points, before the display scale: the column headers, the row headers
// and the cells all take their widths and heights from here, so that the frozen headers stay aligned
// with the cells they name.
#pragma once

#include <algorithm>
#include <cstddef>

namespace MatrixMetrics {

// Width of one column (a stereo pair or one channel of a split pair): its header and its cells.
inline constexpr double columnWidth = 52;
// A group is never narrower than this, however few columns it has.
inline constexpr double minimumGroupWidth = 190;
// Space after every group, in the header strip and in every row.
inline constexpr double groupGap = 10;
// The left column: section labels, the empty hint and the row headers.
inline constexpr double rowHeaderWidth = 270;
inline constexpr double sourceRowHeight = 58;
inline constexpr double lineRowHeight = 76;
inline constexpr double sectionRowHeight = 36;
inline constexpr double emptyHintHeight = 44;
// Around the quadrants of the grid.
inline constexpr double outerMargin = 16;
// Between the column headers and the divider under them.
inline constexpr double headerGap = 6;

// Width of a group of `columns` columns, without the gap after it.
constexpr double groupWidth(std::size_t columns) {
    return std::max(columnWidth * static_cast<double>(columns), minimumGroupWidth);
}

} // namespace MatrixMetrics
