// Where the two windows' geometry and fonts live: sizes in pixels at 96 dots per inch
// (Qt's device-independent pixels, scaled on denser screens by Qt), the font families
// with their fallbacks, and the one helper that makes a child widget owned by its parent.
// The main window is laid out by Qt's layouts from the margins and gaps here; the about
// box keeps fixed places.
#pragma once

#include <QFont>
#include <QString>
#include <QWidget>
#include <array>

// A control's rectangle inside its parent: top-left corner and size.
struct TPlace {
  int Left;
  int Top;
  int Width;
  int Height;
};

// A caption sized to its text: only the top-left corner is fixed.
struct TSpot {
  int Left;
  int Top;
};

namespace frmMainLayout {

// The window's first size: a 495 x 386 window with a sizeable frame (4 pixels of border
// on each side and a 19-pixel caption) leaves a 487 x 359 client area. Layouts place the
// controls; this is only where the window starts, grown when the desktop's fonts need
// more room.
inline constexpr int kOuterWidth = 495;
inline constexpr int kOuterHeight = 386;
inline constexpr int kFrameBorder = 4;
inline constexpr int kCaptionHeight = 19;
inline constexpr int kClientWidth = kOuterWidth - 2 * kFrameBorder;
inline constexpr int kClientHeight = kOuterHeight - 2 * kFrameBorder - kCaptionHeight;

// The least widths of the status bar's panels; each grows to show its text.
inline constexpr std::array<int, 5> kStatusPanelWidths = {200, 40, 40, 50, 90};
// The DNSSEC panel's place among them.
inline constexpr std::size_t kDnssecPanel = 4;

// Panel1's margins and gaps, and the least size of its command buttons.
inline constexpr int kPanelMarginLeft = 7;
inline constexpr int kPanelMarginTop = 7;
inline constexpr int kPanelMarginRight = 8;
inline constexpr int kPanelMarginBottom = 3;
inline constexpr int kPanelColumnGap = 6;
inline constexpr int kPanelRowGap = 5;
inline constexpr int kButtonGap = 1;
inline constexpr int kButtonWidth = 105;
inline constexpr int kButtonHeight = 27;
inline constexpr int kButtonPictureSize = 16;

// What the port and time-out fields must show whole: the largest port, and a time-out
// of some minutes.
inline constexpr const char* kPortSample = "65535";
inline constexpr const char* kTimeOutSample = "999";

}  // namespace frmMainLayout

namespace frmAcercaDeLayout {

inline constexpr int kClientWidth = 432;
inline constexpr int kClientHeight = 164;

inline constexpr TPlace kImage1 = {24, 13, 48, 48};
inline constexpr TSpot kLabel1 = {84, 12};
inline constexpr TSpot kLabel3 = {84, 30};
inline constexpr TSpot kLabel4 = {84, 48};
inline constexpr TSpot kLabel6 = {84, 67};
inline constexpr TSpot kLabel7 = {84, 85};
inline constexpr TSpot kLabel2 = {146, 67};
inline constexpr TPlace kLabel8 = {153, 47, 141, 17};
inline constexpr TPlace kBevel1 = {8, 104, 418, 2};
inline constexpr TPlace kImage2 = {10, 109, 416, 55};
inline constexpr TPlace kBtnAceptar = {340, 16, 79, 25};

}  // namespace frmAcercaDeLayout

// Point sizes the windows were drawn with.
inline constexpr int kDefaultFontPoints = 8;
inline constexpr int kAboutButtonFontPoints = 9;

// The windows' fonts: the family they were drawn with first, then the desktop's general
// (or fixed-pitch) family, so a machine without the original fonts still shows
// proportional captions and a monospace result pane at the same point size.
QFont FormFont();              // MS Sans Serif 8 pt, the about box's default font
QFont FixedFont();             // the desktop's fixed-width font: the main window's fields and pane
QFont TahomaFont(int points);  // Tahoma, the about box's captions and button
QFont ArialFont(int points);   // Arial, the about box's web address
QFont FontWithFallback(const QString& family, int points, bool fixedPitch);

// The room the windows leave between a caption and the control it names.
inline constexpr int kCaptionGap = 4;
// The smallest point size a caption is shrunk to when its room is too narrow.
inline constexpr double kSmallestPoints = 6.0;

// Places a widget at a rectangle, or a caption at its corner with its natural size.
void Place(QWidget& widget, const TPlace& place);
void Place(QWidget& widget, const TSpot& spot);
// Places a caption at its corner, unless its text, in a font wider than the one the
// window was drawn with, would run into the control it names: then it moves left just
// enough to end kCaptionGap pixels before that control, so it is never cut off.
// A caption wider than all the room before the control gets a smaller font as well.
void PlaceCaption(QWidget& caption, const TSpot& spot, const QWidget& named);

// Makes a child widget; the parent owns it from then on and deletes it with itself, so
// callers keep only the non-owning pointer returned.
template <class W>
W* MakeChild(QWidget* parent) {
  return new W(parent);
}

// Registers the compiled-in artwork (icons, button pictures, banner) with Qt's resource
// system. The artwork sits in a static library, so it has to be registered by a call
// rather than by a static initialiser the linker might drop; safe to call repeatedly.
void LoadArtwork();
