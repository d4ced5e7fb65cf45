#pragma once
// The program's own pictures, drawn as SVG and built into the program:
// the program icon (1001), the tree's connection icons (5013 readers, 5014
// feeds), the tool bar's buttons (5022, 5011, 5008) and the splash picture
// (3301). Scalable, so they stay sharp on high-DPI screens.

#include <QIcon>
#include <QPixmap>

namespace icons {

inline constexpr int kProgram = 1001;
inline constexpr int kReaders = 5013;
inline constexpr int kFeeds = 5014;
inline constexpr int kSplash = 3301;

// The icon with the resource number; a null icon for an unknown number.
QIcon Icon(int id);
// The picture drawn at size (logical pixels) for a screen of the given
// device pixel ratio.
QPixmap Picture(int id, QSize size, qreal devicePixelRatio);

}  // namespace icons
