// The window's pixel layout, shared by the art generator and the window so
// that the painted panels and the controls on them line up.
#pragma once

namespace zl::app::window {

struct Box {
    int x, y, w, h;
    constexpr int Right() const { return x + w; }
    constexpr int Bottom() const { return y + h; }
};

inline constexpr int kWidth = 411;
inline constexpr int kHeight = 318;        // details collapsed
inline constexpr int kDetailsHeight = 78;  // added when expanded
inline constexpr int kCornerRadius = 12;

// The colour cut out of the window's shape (RGB 232, 5, 246).
inline constexpr unsigned kKeyColour = 0xE805F6;

// The title strip drags the window.
inline constexpr Box kTitleStrip{0, 0, 411, 38};
inline constexpr Box kTitleIcon{12, 9, 20, 20};
inline constexpr Box kTitleText{38, 0, 200, 38};
inline constexpr Box kSettingsButton{321, 7, 26, 24};
inline constexpr Box kMinimiseButton{349, 7, 26, 24};
inline constexpr Box kCloseButton{377, 7, 26, 24};

inline constexpr Box kBanner{0, 0, 411, 150};
inline constexpr Box kCard{10, 154, 391, 118};

inline constexpr Box kLocationLabel{20, 160, 62, 22};
inline constexpr Box kLocationText{82, 160, 232, 22};
inline constexpr Box kFolderButton{320, 160, 72, 22};

// The download page.
inline constexpr Box kProgressLabel{20, 188, 62, 18};
inline constexpr Box kProgressValue{82, 188, 120, 18};
inline constexpr Box kSpeedText{210, 188, 182, 18};
inline constexpr Box kProgressBar{20, 210, 372, 12};
inline constexpr Box kStatusText{20, 234, 256, 18};
inline constexpr Box kMainButton{282, 230, 110, 36};

// The start page.
inline constexpr Box kStartButton{126, 204, 160, 44};

// The details toggle (a click inside it toggles the panel).
inline constexpr Box kDetailsToggle{186, 278, 32, 30};

// The details panel: one row per file below the window's collapsed height.
inline constexpr Box kDetailsCard{10, 316, 391, 74};
inline constexpr Box kFileList{16, 319, 379, 68};
inline constexpr int kFileRowHeight = 17;

}  // namespace zl::app::window
