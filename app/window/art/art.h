// The window's art, painted at build time by make_art.cpp: PNG bytes.
#pragma once
#include <cstddef>

namespace zl::app::window::art {

extern const unsigned char kBackground[];  // details collapsed
extern const size_t kBackgroundSize;
extern const unsigned char kBackgroundExpanded[];
extern const size_t kBackgroundExpandedSize;
extern const unsigned char kIcon[];  // 64 x 64, for the window and the tray
extern const size_t kIconSize;

}  // namespace zl::app::window::art
