// The handheld's screen as a picture: a Pocket PC of the program's
// generation, drawn with Cairo from the device's state and written as PNG.
//
// Painting order is the screen's stacking order: the focus window, the bars
// and the input panel, then the popup menu, then the message boxes (oldest
// first, so the newest is on top).
#include <cairo.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "internal.h"
#include "screen_layout.h"

namespace host {
namespace screen {
namespace {

struct Colour {
  double r, g, b;
};
Colour Rgb(unsigned rgb) {
  return Colour{((rgb >> 16) & 0xFF) / 255.0, ((rgb >> 8) & 0xFF) / 255.0, (rgb & 0xFF) / 255.0};
}

// The Pocket PC 2002 default scheme.
const Colour kBarTop = Rgb(0x3A6EA5), kBarBottom = Rgb(0x0A246A);  // navigation bar, box captions
const Colour kFace = Rgb(0xD6D3CE);                                // command bar, buttons, panel
const Colour kShadow = Rgb(0x808080), kHighlight = Rgb(0xFFFFFF);
const Colour kWindow = Rgb(0xFFFFFF), kText = Rgb(0x000000), kGrayText = Rgb(0x9C9A94);
const Colour kKey = Rgb(0xF4F3F0), kTapMark = Rgb(0xE0201C);

void SetColour(cairo_t* cr, Colour c) { cairo_set_source_rgb(cr, c.r, c.g, c.b); }

void Fill(cairo_t* cr, Rect r, Colour c) {
  SetColour(cr, c);
  cairo_rectangle(cr, r.x, r.y, r.width, r.height);
  cairo_fill(cr);
}

// A one-pixel outline just inside r.
void Outline(cairo_t* cr, Rect r, Colour c) {
  SetColour(cr, c);
  cairo_set_line_width(cr, 1);
  cairo_rectangle(cr, r.x + 0.5, r.y + 0.5, r.width - 1, r.height - 1);
  cairo_stroke(cr);
}

void HLine(cairo_t* cr, int x0, int x1, int y, Colour c) { Fill(cr, Rect{x0, y, x1 - x0, 1}, c); }

void VerticalGradient(cairo_t* cr, Rect r, Colour top, Colour bottom) {
  cairo_pattern_t* pattern = cairo_pattern_create_linear(0, r.y, 0, r.Bottom());
  cairo_pattern_add_color_stop_rgb(pattern, 0, top.r, top.g, top.b);
  cairo_pattern_add_color_stop_rgb(pattern, 1, bottom.r, bottom.g, bottom.b);
  cairo_set_source(cr, pattern);
  cairo_rectangle(cr, r.x, r.y, r.width, r.height);
  cairo_fill(cr);
  cairo_pattern_destroy(pattern);
}

// Text with its baseline placed so a line of kLineHeight starting at `top`
// holds it; returns the advance.
double Text(cairo_t* cr, const std::string& text, double x, int top, Colour c) {
  SetColour(cr, c);
  cairo_font_extents_t font;
  cairo_font_extents(cr, &font);
  double baseline = top + (kLineHeight - (font.ascent + font.descent)) / 2 + font.ascent;
  cairo_move_to(cr, x, static_cast<int>(baseline + 0.5));
  cairo_show_text(cr, text.c_str());
  return TextWidth(cr, text);
}

void RaisedButton(cairo_t* cr, Rect r) {
  Fill(cr, r, kFace);
  Outline(cr, r, kText);
  HLine(cr, r.x + 1, r.Right() - 1, r.y + 1, kHighlight);
  HLine(cr, r.x + 1, r.Right() - 1, r.Bottom() - 2, kShadow);
}

void DrawNavigationBar(cairo_t* cr, const ScreenState& state, const ScreenLayout& layout) {
  Rect bar = layout.navigationBar;
  VerticalGradient(cr, bar, kBarTop, kBarBottom);
  // The Start flag: four panes, as the Start button shows it.
  const Colour panes[] = {Rgb(0xF25022), Rgb(0x7FBA00), Rgb(0x00A4EF), Rgb(0xFFB900)};
  for (int i = 0; i < 4; ++i) Fill(cr, Rect{5 + (i % 2) * 8, 5 + (i / 2) * 8, 7, 7}, panes[i]);
  int top = bar.y + (bar.height - kLineHeight) / 2;
  UseFont(cr, Weight::Bold, kCaptionSize);
  double x = 24 + Text(cr, "Start", 24, top, kHighlight) + 10;
  UseFont(cr, Weight::Regular, kTextSize);
  double clockWidth = TextWidth(cr, state.clock);
  double clockX = bar.Right() - 6 - clockWidth;
  Text(cr, state.clock, clockX, top, kHighlight);
  // The title, cut at the clock.
  cairo_save(cr);
  cairo_rectangle(cr, x, bar.y, clockX - 8 - x, bar.height);
  cairo_clip(cr);
  Text(cr, device::ToUtf8(state.title), x, top, kHighlight);
  cairo_restore(cr);
}

void DrawFocusWindow(cairo_t* cr, const ScreenLayout& layout) {
  Fill(cr, layout.focusArea, kWindow);
  UseFont(cr, Weight::Regular, kTextSize);
  int top = layout.focusArea.y + 4;
  for (const std::string& line : layout.textLines) {
    Text(cr, line, 4, top, kText);
    top += kLineHeight;
  }
  Fill(cr, layout.caret, kText);
}

void DrawIcon(cairo_t* cr, int iconId, Rect place) {
  std::vector<uint32_t> argb;
  if (iconId == 0 || !device::IconImage(iconId, place.width, &argb) ||
      argb.size() != static_cast<size_t>(place.width) * place.height) {
    // No image for it: a plain tile where the icon goes.
    Fill(cr, place, kShadow);
    Outline(cr, place, kText);
    return;
  }
  // Cairo wants alpha premultiplied.
  cairo_surface_t* image = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, place.width, place.height);
  cairo_surface_flush(image);
  unsigned char* data = cairo_image_surface_get_data(image);
  int stride = cairo_image_surface_get_stride(image);
  for (int y = 0; y < place.height; ++y) {
    uint32_t* row = reinterpret_cast<uint32_t*>(data + y * stride);
    for (int x = 0; x < place.width; ++x) {
      uint32_t pixel = argb[static_cast<size_t>(y * place.width + x)];
      uint32_t a = pixel >> 24;
      auto channel = [&](int shift) { return (((pixel >> shift) & 0xFF) * a + 127) / 255; };
      row[x] = (a << 24) | (channel(16) << 16) | (channel(8) << 8) | channel(0);
    }
  }
  cairo_surface_mark_dirty(image);
  cairo_set_source_surface(cr, image, place.x, place.y);
  cairo_paint(cr);
  cairo_surface_destroy(image);
}

void DrawCommandBar(cairo_t* cr, const ScreenState& state, const ScreenLayout& layout) {
  Rect bar = layout.commandBar;
  Fill(cr, bar, kFace);
  HLine(cr, bar.x, bar.Right(), bar.y, kShadow);
  HLine(cr, bar.x, bar.Right(), bar.y + 1, kHighlight);
  // The input panel's button: a small keyboard, pressed while a panel shows.
  Rect button = layout.sipButton;
  if (state.sip != device::Sip::None && !state.sipLowered) Fill(cr, button, kShadow);
  Outline(cr, Rect{button.x + 3, button.y + 3, button.width - 6, button.height - 6}, kText);
  for (int row = 0; row < 2; ++row) {
    for (int key = 0; key < 5; ++key) {
      Fill(cr, Rect{button.x + 5 + key * 3, button.y + 5 + row * 3, 2, 2}, kText);
    }
  }
  if (state.tray.shown) DrawIcon(cr, state.tray.iconId, layout.trayIcon);
}

// The CE-Star keyboard: five rows of 16 pixels, a US layout.
struct Key {
  int x, width;
  const char* label;
};
const std::vector<std::vector<Key>>& KeyboardRows() {
  static const std::vector<std::vector<Key>> rows = [] {
    std::vector<std::vector<Key>> r(5);
    const char* digits[] = {"Esc", "1", "2", "3", "4", "5", "6", "7", "8", "9", "0", "-", "=", "\xE2\x86\x90"};
    for (int i = 0; i < 14; ++i) r[0].push_back(Key{i * 17, 17, digits[i]});
    r[1].push_back(Key{0, 24, "Tab"});
    const char* upper[] = {"q", "w", "e", "r", "t", "y", "u", "i", "o", "p", "[", "]"};
    for (int i = 0; i < 12; ++i) r[1].push_back(Key{24 + i * 18, 18, upper[i]});
    r[2].push_back(Key{0, 29, "CAP"});
    const char* home[] = {"a", "s", "d", "f", "g", "h", "j", "k", "l", ";", "'"};
    for (int i = 0; i < 11; ++i) r[2].push_back(Key{29 + i * 18, 18, home[i]});
    r[2].push_back(Key{227, 13, ""});
    r[3].push_back(Key{0, 34, "Shift"});
    const char* lower[] = {"z", "x", "c", "v", "b", "n", "m", ",", ".", "/"};
    for (int i = 0; i < 10; ++i) r[3].push_back(Key{34 + i * 18, 18, lower[i]});
    r[3].push_back(Key{214, 26, "\xE2\x86\xB5"});
    r[4] = {{0, 24, "Ctl"},    {24, 20, "Alt"},         {44, 19, "`"},           {63, 18, "\\"},
            {81, 87, ""},      {168, 18, "\xE2\x86\x93"}, {186, 18, "\xE2\x86\x91"}, {204, 18, "\xE2\x86\x90"},
            {222, 18, "\xE2\x86\x92"}};
    return r;
  }();
  return rows;
}

void DrawKeyboard(cairo_t* cr, const ScreenState& state, const ScreenLayout& layout) {
  Rect panel = layout.keyboard;
  Fill(cr, panel, kFace);
  double scale = panel.width / 240.0;  // the key table is for a 240-pixel panel
  UseFont(cr, Weight::Regular, kSmallSize);
  for (size_t row = 0; row < KeyboardRows().size(); ++row) {
    for (const Key& key : KeyboardRows()[row]) {
      Rect r{panel.x + static_cast<int>(key.x * scale), panel.y + static_cast<int>(row) * 16,
             static_cast<int>(key.width * scale), 16};
      Fill(cr, r, kKey);
      Outline(cr, r, kShadow);
      double width = TextWidth(cr, key.label);
      Text(cr, key.label, r.x + (r.width - width) / 2, r.y + 1, kText);
    }
  }
  // Where the program tapped, in the keyboard's client pixels.
  for (const Tap& tap : state.taps) {
    cairo_arc(cr, panel.x + tap.x + 0.5, panel.y + tap.y + 0.5, 3.5, 0, 2 * 3.14159265358979);
    SetColour(cr, kTapMark);
    cairo_fill_preserve(cr);
    SetColour(cr, kHighlight);
    cairo_set_line_width(cr, 1);
    cairo_stroke(cr);
  }
}

void DrawMenu(cairo_t* cr, const ScreenState& state, const ScreenLayout& layout) {
  Rect menu = layout.menu;
  Fill(cr, menu, kWindow);
  Outline(cr, menu, kText);
  UseFont(cr, Weight::Regular, kTextSize);
  int top = menu.y + 1 + 2;
  for (const device::MenuItem& item : state.menu.items) {
    int underlined = -1;
    std::u16string shown = StripMnemonic(item.text, &underlined);
    Colour colour = (item.state & (MF_GRAYED | MF_DISABLED)) ? kGrayText : kText;
    int lineTop = top + (layout.menuItemHeight - kLineHeight) / 2;
    double x = menu.x + 1 + 10;
    Text(cr, device::ToUtf8(shown), x, lineTop, colour);
    if (underlined >= 0) {
      double from = x + TextWidth(cr, device::ToUtf8(shown.substr(0, static_cast<size_t>(underlined))));
      double to = x + TextWidth(cr, device::ToUtf8(shown.substr(0, static_cast<size_t>(underlined) + 1)));
      Fill(cr, Rect{static_cast<int>(from + 0.5), lineTop + kLineHeight - 2, static_cast<int>(to - from + 0.5), 1},
           colour);
    }
    top += layout.menuItemHeight;
  }
}

void DrawBox(cairo_t* cr, const device::BoxUp& shown, const BoxPlace& box) {
  // A soft shadow to the lower right lifts the box off what is under it.
  cairo_set_source_rgba(cr, 0, 0, 0, 0.25);
  cairo_rectangle(cr, box.frame.x + 3, box.frame.y + 3, box.frame.width, box.frame.height);
  cairo_fill(cr);
  Fill(cr, box.frame, kWindow);
  Outline(cr, box.frame, kText);
  VerticalGradient(cr, box.caption, kBarTop, kBarBottom);
  UseFont(cr, Weight::Bold, kCaptionSize);
  cairo_save(cr);
  cairo_rectangle(cr, box.caption.x, box.caption.y, box.caption.width - 4, box.caption.height);
  cairo_clip(cr);
  Text(cr, device::ToUtf8(shown.caption), box.caption.x + 6, box.caption.y + (box.caption.height - kLineHeight) / 2,
       kHighlight);
  cairo_restore(cr);
  UseFont(cr, Weight::Regular, kTextSize);
  int top = box.caption.Bottom() + 8;
  for (const std::string& line : box.lines) {
    Text(cr, line, box.frame.x + 1 + 8, top, kText);
    top += kLineHeight;
  }
  RaisedButton(cr, box.ok);
  double width = TextWidth(cr, "OK");
  Text(cr, "OK", box.ok.x + (box.ok.width - width) / 2, box.ok.y + (box.ok.height - kLineHeight) / 2, kText);
}

// The picture's file, new or emptied: only ever a regular file. Anything
// else is refused without waiting on it, since a FIFO nobody reads would hold
// the console (or the handheld's exit) for good. Null with *why on failure.
std::FILE* OpenPictureFile(const std::string& path, std::string* why) {
  const char* notRegular = "not a regular file";
  struct stat info;
  if (::stat(path.c_str(), &info) == 0 && !S_ISREG(info.st_mode)) {
    *why = notRegular;
    return nullptr;
  }
  // O_NONBLOCK: should a FIFO appear meanwhile, the open fails at once
  // instead of waiting for a reader.
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0666);
  if (fd < 0) {
    *why = std::strerror(errno);
    return nullptr;
  }
  std::FILE* file = nullptr;
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    *why = notRegular;
  } else if (::ftruncate(fd, 0) != 0 || (file = ::fdopen(fd, "wb")) == nullptr) {
    *why = std::strerror(errno);
  }
  if (file == nullptr) ::close(fd);
  return file;
}

cairo_status_t WriteToFile(void* closure, const unsigned char* data, unsigned int length) {
  return std::fwrite(data, 1, length, static_cast<std::FILE*>(closure)) == length ? CAIRO_STATUS_SUCCESS
                                                                                   : CAIRO_STATUS_WRITE_ERROR;
}

}  // namespace
}  // namespace screen
}  // namespace host

namespace device {

bool SaveScreen(const std::string& path, std::string* error) {
  using namespace host::screen;
  auto fail = [&](const std::string& why) {
    if (error) *error = why;
    return false;
  };
  if (path.empty()) return fail("no file name given");
  std::string fontError;
  if (!LoadFonts(&fontError)) return fail(fontError);
  ScreenState state = ReadScreenState();
  if (state.width <= 0 || state.height <= 0 || state.height < 2 * kBarHeight + kSipHeight) {
    return fail("the screen is too small to draw (" + std::to_string(state.width) + "x" +
                std::to_string(state.height) + ")");
  }
  ScreenLayout layout = LayOut(state);

  cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_RGB24, state.width, state.height);
  cairo_t* cr = cairo_create(surface);
  DrawFocusWindow(cr, layout);
  DrawNavigationBar(cr, state, layout);
  if (!layout.keyboard.Empty()) DrawKeyboard(cr, state, layout);
  DrawCommandBar(cr, state, layout);
  if (layout.menuOpen) DrawMenu(cr, state, layout);
  for (size_t i = 0; i < layout.boxes.size(); ++i) DrawBox(cr, state.boxes[i], layout.boxes[i]);
  cairo_status_t drawn = cairo_status(cr);
  cairo_destroy(cr);

  bool ok = false;
  std::string why;
  if (drawn != CAIRO_STATUS_SUCCESS) {
    fail(std::string("drawing failed: ") + cairo_status_to_string(drawn));
  } else if (std::FILE* file = OpenPictureFile(path, &why)) {
    cairo_status_t written = cairo_surface_write_to_png_stream(surface, WriteToFile, file);
    int closed = std::fclose(file);
    int saved = errno;
    if (written != CAIRO_STATUS_SUCCESS || closed != 0) {
      fail(path + ": " + (closed != 0 ? std::strerror(saved) : cairo_status_to_string(written)));
    } else {
      ok = true;
    }
  } else {
    fail(path + ": " + why);
  }
  cairo_surface_destroy(surface);
  return ok;
}

}  // namespace device
