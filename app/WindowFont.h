// The font the window and the update dialog are drawn with.
//
// The fixed layout was drawn for Tahoma at 8 points on a 96 dots-per-inch screen, that is
// 11 pixels. Windows has Tahoma among its own fonts. On Linux, Debian's fonts-wine package
// carries a Tahoma with the same metrics, but outside the folders the font configuration
// searches, so it is registered from its folder when it is installed. Without it the
// desktop's sans-serif takes its place; the layout leaves room for that wider fallback too,
// so no text is cut either way.
#pragma once

#include <QFont>
#include <QString>

// The folder the Tahoma files are taken from: $CADDIS_FONT_DIR, else fonts-wine's folder (on
// Windows the system's font folder; registering a font the system has already changes
// nothing, and it gives Tahoma to the offscreen platform the tests use, which reads font
// files rather than the system's fonts).
QString TahomaFolder();

// Registers Tahoma (regular and bold) once per process; true when it is available.
bool RegisterTahoma();

// Makes WindowFont() the application's font; called before the first window is made. It is
// set for the whole application because a font set on a styled window does not reach its
// controls, and the update dialog and the message boxes share it.
void UseWindowFont();

// The window's text font in pixels, so the fixed pixel layout holds at any screen resolution
// setting: 11 pixels for the window, 9 for small print.
QFont WindowFont(int PixelSize = 11);
