// The program's icon as shapes on a 64 x 64 grid: the window's 64-pixel
// icon (make_art.cpp) and the desktop's icons at every size and as SVG
// (make_icons.cpp) are painted by this one function, so they cannot differ.
#pragma once

class QPainter;

namespace zl::app::window::art {

inline constexpr int kIconGrid = 64;

// Paints the icon into the box (0, 0)-(kIconGrid, kIconGrid) of `p`'s
// coordinates; scale the painter for other sizes.
void PaintIcon(QPainter& p);

}  // namespace zl::app::window::art
