// Reading the device for a picture of its screen, and laying the picture out.
#include "screen_layout.h"

#include <cairo-ft.h>

#include <algorithm>
#include <ctime>
#include <mutex>

#include "internal.h"

namespace host {
namespace screen {

namespace {

constexpr int kTextPadding = 4;
constexpr int kMenuPadLeft = 10;
constexpr int kMenuPadRight = 16;
constexpr int kMenuPadVertical = 2;
constexpr int kBoxWidth = 224;
constexpr int kBoxPadding = 8;
constexpr int kOkWidth = 52;
constexpr int kOkHeight = 20;
// Each newer box sits lower by its caption band and a little to the right,
// so the captions of the boxes under it stay readable.
constexpr int kBoxCascadeDown = kBoxCaptionHeight + 4;
constexpr int kBoxCascadeRight = 8;

// The CE-Star keyboard the program taps, if it shows now: the first child of
// the input panel, with that input method's class.
HWND CeStarKeyboard() {
  HWND panel = FindWindowW(u"SipWndClass", nullptr);
  if (panel == nullptr) return nullptr;
  HWND keyboard = GetWindow(panel, GW_CHILD);
  return keyboard != nullptr && ClassOf(keyboard) == u"CE-StarIm" ? keyboard : nullptr;
}

std::string Clock() {
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char text[16];
  std::snprintf(text, sizeof text, "%d:%02d", local.tm_hour, local.tm_min);
  return text;
}

// A scratch context for measuring text; nothing is drawn on it.
struct Measurer {
  Measurer() : surface(cairo_image_surface_create(CAIRO_FORMAT_ARGB32, 1, 1)), cr(cairo_create(surface)) {}
  ~Measurer() {
    cairo_destroy(cr);
    cairo_surface_destroy(surface);
  }
  Measurer(const Measurer&) = delete;
  Measurer& operator=(const Measurer&) = delete;
  cairo_surface_t* surface;
  cairo_t* cr;
};

Rect Clamp(Rect r, int screenWidth, int screenHeight) {
  r.x = std::max(0, std::min(r.x, screenWidth - r.width));
  r.y = std::max(0, std::min(r.y, screenHeight - r.height));
  return r;
}

// Breaks one paragraph (no line breaks in it) into lines that fit.
void WrapParagraph(cairo_t* cr, const std::string& paragraph, double maxWidth, std::vector<std::string>* lines) {
  std::string line;
  size_t i = 0;
  while (i < paragraph.size()) {
    // The next word with the spaces after it, or one character of a word
    // too long for a line.
    size_t end = i;
    while (end < paragraph.size() && paragraph[end] != ' ') ++end;
    while (end < paragraph.size() && paragraph[end] == ' ') ++end;
    std::string word = paragraph.substr(i, end - i);
    std::string trimmed = word.substr(0, word.find_last_not_of(' ') + 1);
    if (TextWidth(cr, line + trimmed) <= maxWidth) {
      line += word;
      i = end;
      continue;
    }
    if (!line.empty()) {
      lines->push_back(line);
      line.clear();
      continue;
    }
    // A word wider than a whole line: as many characters as fit (at least one).
    size_t cut = i;
    do {
      size_t next = cut + 1;
      while (next < paragraph.size() && (static_cast<unsigned char>(paragraph[next]) & 0xC0) == 0x80) ++next;
      if (cut > i && TextWidth(cr, paragraph.substr(i, next - i)) > maxWidth) break;
      cut = next;
    } while (cut < end);
    lines->push_back(paragraph.substr(i, cut - i));
    i = cut;
  }
  lines->push_back(line);
}

}  // namespace

namespace {

// Loaded once and kept for the life of the process, like the handheld's own
// fonts in ROM.
struct Fonts {
  std::mutex mutex;
  bool tried = false;
  std::string error;
  FT_Library library = nullptr;
  cairo_font_face_t* faces[2] = {nullptr, nullptr};  // by Weight
};
Fonts& F() {
  static Fonts* fonts = new Fonts;
  return *fonts;
}

}  // namespace

bool LoadFonts(std::string* error) {
  Fonts& fonts = F();
  std::lock_guard<std::mutex> lock(fonts.mutex);
  if (!fonts.tried) {
    fonts.tried = true;
    if (FT_Init_FreeType(&fonts.library) != 0) {
      fonts.error = "FreeType cannot start";
    } else {
      const char* files[2] = {kFontRegular, kFontBold};
      for (int i = 0; i < 2 && fonts.error.empty(); ++i) {
        FT_Face face = nullptr;
        if (FT_New_Face(fonts.library, files[i], 0, &face) != 0) {
          fonts.error = std::string("cannot read the font ") + files[i] + " (Debian package fonts-dejavu-core)";
        } else {
          fonts.faces[i] = cairo_ft_font_face_create_for_ft_face(face, 0);
        }
      }
    }
  }
  if (!fonts.error.empty() && error) *error = fonts.error;
  return fonts.error.empty();
}

void UseFont(cairo_t* cr, Weight weight, double size) {
  cairo_font_face_t* face = LoadFonts(nullptr) ? F().faces[weight == Weight::Bold ? 1 : 0] : nullptr;
  if (face != nullptr) {
    cairo_set_font_face(cr, face);
  } else {
    // Only measuring and drawing for a caller that did not check LoadFonts.
    cairo_select_font_face(cr, "sans-serif", CAIRO_FONT_SLANT_NORMAL,
                           weight == Weight::Bold ? CAIRO_FONT_WEIGHT_BOLD : CAIRO_FONT_WEIGHT_NORMAL);
  }
  cairo_set_font_size(cr, size);
}

double TextWidth(cairo_t* cr, const std::string& text) {
  cairo_text_extents_t extents;
  cairo_text_extents(cr, text.c_str(), &extents);
  return extents.x_advance;
}

std::vector<std::string> WrapText(cairo_t* cr, const std::u16string& text, double maxWidth) {
  std::vector<std::string> lines;
  std::u16string paragraph;
  for (size_t i = 0; i <= text.size(); ++i) {
    if (i < text.size() && text[i] != u'\r' && text[i] != u'\n') {
      paragraph.push_back(text[i]);
      continue;
    }
    WrapParagraph(cr, device::ToUtf8(paragraph), maxWidth, &lines);
    paragraph.clear();
    if (i + 1 < text.size() && text[i] == u'\r' && text[i + 1] == u'\n') ++i;
  }
  return lines;
}

ScreenState ReadScreenState() {
  ScreenState state;
  state.width = GetSystemMetrics(SM_CXSCREEN);
  state.height = GetSystemMetrics(SM_CYSCREEN);
  state.title = device::WindowTitle(GetForegroundWindow());
  state.focusText = device::FocusText();
  state.clock = Clock();
  state.tray = device::Tray();
  state.menu = device::OpenMenu();
  state.boxes = device::BoxesUp();
  state.sip = device::CurrentSip();
  state.sipLowered = device::SipLowered();
  if (HWND keyboard = state.sip == device::Sip::CeStar && !state.sipLowered ? CeStarKeyboard() : nullptr) {
    // The taps this keyboard took, lowered or raised; a handle value can come
    // back for a later panel, so earlier panels' taps are told apart by when
    // they were posted.
    for (const device::PostedMessage& posted : PostedSince(SipMadeAt())) {
      if (posted.window != keyboard || posted.message != WM_LBUTTONDOWN) continue;
      DWORD point = static_cast<DWORD>(posted.lParam);
      state.taps.push_back(Tap{static_cast<int>(point & 0xFFFF), static_cast<int>((point >> 16) & 0xFFFF)});
    }
  }
  return state;
}

Rect PlaceMenu(int x, int y, unsigned flags, int width, int height, int screenWidth, int screenHeight) {
  Rect r{x, y, width, height};
  if (flags & TPM_RIGHTALIGN) {
    r.x = x - width;
  } else if (flags & TPM_CENTERALIGN) {
    r.x = x - width / 2;
  }
  if (flags & TPM_BOTTOMALIGN) {
    r.y = y - height;
  } else if (flags & TPM_VCENTERALIGN) {
    r.y = y - height / 2;
  }
  return Clamp(r, screenWidth, screenHeight);
}

std::u16string StripMnemonic(const std::u16string& text, int* underlined) {
  std::u16string shown;
  *underlined = -1;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == u'&' && i + 1 < text.size()) {
      ++i;
      if (text[i] != u'&' && *underlined < 0) *underlined = static_cast<int>(shown.size());
    }
    shown.push_back(text[i] == u'\t' ? u' ' : text[i]);
  }
  return shown;
}

ScreenLayout LayOut(const ScreenState& state) {
  Measurer measure;
  cairo_t* cr = measure.cr;
  const int w = state.width, h = state.height;
  ScreenLayout layout;
  layout.navigationBar = Rect{0, 0, w, kBarHeight};
  layout.commandBar = Rect{0, h - kBarHeight, w, kBarHeight};
  layout.trayIcon = Rect{w - kIconMargin - kIconSize, layout.commandBar.y + (kBarHeight - kIconSize) / 2, kIconSize,
                         kIconSize};
  layout.sipButton = Rect{layout.trayIcon.x - 8 - 22, layout.commandBar.y + 5, 22, kBarHeight - 10};
  if (state.sip == device::Sip::CeStar && !state.sipLowered) {
    layout.keyboard = Rect{0, layout.commandBar.y - kSipHeight, w, kSipHeight};
  }
  int focusBottom = layout.keyboard.Empty() ? layout.commandBar.y : layout.keyboard.y;
  layout.focusArea = Rect{0, kBarHeight, w, focusBottom - kBarHeight};

  // The focus text, scrolled so the caret stays in sight.
  UseFont(cr, Weight::Regular, kTextSize);
  std::vector<std::string> lines = WrapText(cr, state.focusText, w - 2 * kTextPadding - 2);
  size_t fits = static_cast<size_t>(std::max(1, (layout.focusArea.height - 2 * kTextPadding) / kLineHeight));
  if (lines.size() > fits) lines.erase(lines.begin(), lines.end() - static_cast<long>(fits));
  layout.textLines = lines;
  int lastLine = static_cast<int>(lines.size()) - 1;
  layout.caret = Rect{kTextPadding + static_cast<int>(TextWidth(cr, lines.back()) + 0.5),
                      layout.focusArea.y + kTextPadding + lastLine * kLineHeight, 1, kLineHeight - 1};

  if (state.menu.open) {
    double widest = 0;
    for (const device::MenuItem& item : state.menu.items) {
      int underlined;
      widest = std::max(widest, TextWidth(cr, device::ToUtf8(StripMnemonic(item.text, &underlined))));
    }
    int width = std::max(40, static_cast<int>(widest + 0.99) + kMenuPadLeft + kMenuPadRight + 2);
    int height = static_cast<int>(state.menu.items.size()) * kMenuItemHeight + 2 * kMenuPadVertical + 2;
    layout.menuOpen = true;
    layout.menuItemHeight = kMenuItemHeight;
    layout.menu = PlaceMenu(state.menu.x, state.menu.y, state.menu.flags, width, height, w, h);
  }

  // Boxes are centred between the bars, each newer one a step lower and to
  // the right, as a box opened from another box's loop would stack.
  int boxWidth = std::min(kBoxWidth, w - 2 * kBoxPadding);
  int areaTop = layout.navigationBar.Bottom();
  int areaHeight = focusBottom - areaTop;
  for (size_t i = 0; i < state.boxes.size(); ++i) {
    BoxPlace box;
    box.lines = WrapText(cr, state.boxes[i].text, boxWidth - 2 * kBoxPadding - 2);
    // A text ending in "\r\n" has nothing on its last line.
    while (box.lines.size() > 1 && box.lines.back().empty()) box.lines.pop_back();
    int height = 1 + kBoxCaptionHeight + kBoxPadding + static_cast<int>(box.lines.size()) * kLineHeight + kBoxPadding +
                 kOkHeight + kBoxPadding + 1;
    int step = static_cast<int>(i);
    box.frame = Clamp(Rect{(w - boxWidth) / 2 + step * kBoxCascadeRight,
                           areaTop + (areaHeight - height) / 2 + step * kBoxCascadeDown, boxWidth, height},
                      w, h);
    box.caption = Rect{box.frame.x + 1, box.frame.y + 1, box.frame.width - 2, kBoxCaptionHeight};
    box.ok = Rect{box.frame.x + (box.frame.width - kOkWidth) / 2, box.frame.Bottom() - 1 - kBoxPadding - kOkHeight,
                  kOkWidth, kOkHeight};
    layout.boxes.push_back(box);
  }
  return layout;
}

}  // namespace screen
}  // namespace host
