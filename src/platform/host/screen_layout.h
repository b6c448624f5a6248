// Where things sit on the handheld's screen when it is drawn as a picture.
//
// The picture is taken in two steps so that tests can check it: the device's
// state is read once (one consistent moment, even while the program's
// threads run on), then laid out into rectangles; the painter draws exactly
// those rectangles. Text is measured with the same fonts the painter uses.
#pragma once

#include <cairo.h>

#include <string>
#include <vector>

#include "device.h"

namespace host {
namespace screen {

struct Rect {
  int x = 0, y = 0, width = 0, height = 0;
  int Right() const { return x + width; }    // one past the last column
  int Bottom() const { return y + height; }  // one past the last row
  bool Empty() const { return width <= 0 || height <= 0; }
};

// A tap the program made on the CE-Star keyboard, in the keyboard's own
// client pixels.
struct Tap {
  int x, y;
};

// Everything the picture shows, read from the device at one moment.
struct ScreenState {
  int width = 240, height = 320;
  std::u16string title;      // the foreground window's
  std::u16string focusText;  // what the typing put in the focus window
  std::string clock;         // "9:41"
  device::TrayIcon tray;
  device::OpenMenuState menu;
  std::vector<device::BoxUp> boxes;  // oldest first
  device::Sip sip = device::Sip::None;
  bool sipLowered = false;  // the panel is there but hidden: nothing of it is drawn
  std::vector<Tap> taps;  // on the CE-Star keyboard shown now
};
ScreenState ReadScreenState();

struct BoxPlace {
  Rect frame;    // the whole box, border included
  Rect caption;  // its title band
  Rect ok;       // the OK button
  std::vector<std::string> lines;  // the text, broken and wrapped
};

struct ScreenLayout {
  Rect navigationBar;  // Start, the title, the clock
  Rect focusArea;      // the focus window's text area
  Rect keyboard;       // the CE-Star keyboard; empty when it does not show
  Rect commandBar;
  Rect sipButton;      // the input panel's button on the command bar
  Rect trayIcon;       // at the command bar's right end
  std::vector<std::string> textLines;  // the focus text as shown (the last lines when it runs long)
  Rect caret;
  bool menuOpen = false;
  Rect menu;  // border included
  int menuItemHeight = 0;
  std::vector<BoxPlace> boxes;  // oldest first
};
ScreenLayout LayOut(const ScreenState& state);

// Where a popup menu of this size goes for TrackPopupMenuEx(flags, x, y):
// x is its left edge, centre or right edge as the horizontal flags say, y
// its top, centre or bottom as the vertical ones say; then it is moved back
// onto the screen if it would leave it.
Rect PlaceMenu(int x, int y, unsigned flags, int width, int height, int screenWidth, int screenHeight);

// A menu item's text without its mnemonic marks, and which character (its
// index in the result, -1 for none) the '&' underlines. "&&" is an ampersand.
std::u16string StripMnemonic(const std::u16string& text, int* underlined);

// The fonts: DejaVu Sans from fonts-dejavu-core, read from its files so the
// picture does not depend on what else fontconfig would pick.
constexpr const char* kFontRegular = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf";
constexpr const char* kFontBold = "/usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf";
constexpr double kTextSize = 11;     // focus text, box text, menu items
constexpr double kCaptionSize = 11;  // bold: box captions, Start
constexpr double kSmallSize = 8;     // the clock's neighbours, key labels

enum class Weight { Regular, Bold };
// Loads the font files once; false with *error when they cannot be read.
bool LoadFonts(std::string* error);
void UseFont(cairo_t* cr, Weight weight, double size);
// The advance of UTF-8 text in the font `cr` uses.
double TextWidth(cairo_t* cr, const std::string& text);
// Lines of `text` no wider than maxWidth in the font `cr` uses: "\r\n",
// "\r" and "\n" end a line, long lines break after spaces, and a word
// longer than a line breaks between characters. A text ending in a line
// break ends with an empty line (where the caret goes).
std::vector<std::string> WrapText(cairo_t* cr, const std::u16string& text, double maxWidth);

// Fixed measures of the Pocket PC screen, in pixels at 240x320.
constexpr int kBarHeight = 26;  // navigation bar and command bar
constexpr int kSipHeight = 80;  // the input panel above the command bar
constexpr int kIconSize = 16;   // tray icons
constexpr int kIconMargin = 4;  // from the screen's right edge
constexpr int kLineHeight = 14;
constexpr int kMenuItemHeight = 18;
constexpr int kBoxCaptionHeight = 20;

}  // namespace screen
}  // namespace host
