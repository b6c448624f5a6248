// The handheld's screen as a picture: what the device shows ends up where a
// Pocket PC shows it. Checks look at regions (a border, a band that holds
// text, an icon's pixels), never at whole images, so another version of the
// font does not break them.
#include <cairo.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>

#include "device.h"
#include "process_harness.h"
#include "quiet_window.h"
#include "screen_layout.h"
#include "win32.h"

namespace {

using host::screen::Rect;

constexpr uint32_t kFace = 0xD6D3CE;  // command bar and panel
constexpr uint32_t kBlack = 0x000000, kWhite = 0xFFFFFF;

// A written picture read back, 0xRRGGBB per pixel.
class Picture {
 public:
  explicit Picture(const std::string& path) : surface_(cairo_image_surface_create_from_png(path.c_str())) {}
  ~Picture() { cairo_surface_destroy(surface_); }
  bool Ok() const { return cairo_surface_status(surface_) == CAIRO_STATUS_SUCCESS; }
  int Width() const { return cairo_image_surface_get_width(surface_); }
  int Height() const { return cairo_image_surface_get_height(surface_); }
  uint32_t At(int x, int y) const {
    const unsigned char* row = cairo_image_surface_get_data(surface_) + y * cairo_image_surface_get_stride(surface_);
    return reinterpret_cast<const uint32_t*>(row)[x] & 0xFFFFFF;
  }
  // Pixels in r for which match() holds.
  int Count(Rect r, bool (*match)(uint32_t)) const {
    int n = 0;
    for (int y = r.y; y < r.Bottom(); ++y)
      for (int x = r.x; x < r.Right(); ++x) n += match(At(x, y)) ? 1 : 0;
    return n;
  }

 private:
  cairo_surface_t* surface_;
};

int Channel(uint32_t rgb, int shift) { return static_cast<int>((rgb >> shift) & 0xFF); }
int Brightness(uint32_t rgb) { return (Channel(rgb, 16) + Channel(rgb, 8) + Channel(rgb, 0)) / 3; }
bool Dark(uint32_t rgb) { return Brightness(rgb) < 96; }
bool NearWhite(uint32_t rgb) { return Brightness(rgb) > 230; }
bool Blue(uint32_t rgb) { return Channel(rgb, 0) > Channel(rgb, 16) + 40; }
bool Red(uint32_t rgb) { return Channel(rgb, 16) > 180 && Channel(rgb, 8) < 90; }

class ScreenTest : public ::testing::Test {
 protected:
  void SetUp() override {
    device::Reset();
    char pattern[] = "/tmp/nuvik-screen-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    window_ = CreateQuietWindow(u"Screen Test");
    ASSERT_NE(window_, nullptr);
  }
  void TearDown() override {
    device::Reset();  // boxes are answered at once again
    std::system(("rm -rf '" + dir_ + "'").c_str());
  }

  // Writes the screen and reads it back.
  std::unique_ptr<Picture> Shoot(const std::string& name = "screen.png") {
    std::string error;
    EXPECT_TRUE(device::SaveScreen(dir_ + "/" + name, &error)) << error;
    auto picture = std::make_unique<Picture>(dir_ + "/" + name);
    EXPECT_TRUE(picture->Ok());
    return picture;
  }

  static void Type(const std::string& letters) {
    for (char c : letters) {
      INPUT input = {};
      input.type = INPUT_KEYBOARD;
      input.ki.wVk = c == ' ' ? 0x20 : static_cast<WORD>(c - 'a' + 'A');
      SendInput(1, &input, sizeof input);
      input.ki.dwFlags = KEYEVENTF_KEYUP;
      SendInput(1, &input, sizeof input);
    }
  }

  void ShowTray(int iconId) {
    NOTIFYICONDATA data{};
    data.cbSize = sizeof data;
    data.hWnd = window_;
    data.uID = 1;
    data.uFlags = NIF_MESSAGE | NIF_ICON;
    data.uCallbackMessage = WM_USER + 100;
    data.hIcon = static_cast<HICON>(LoadImageW(nullptr, MAKEINTRESOURCEW(iconId), IMAGE_ICON, 16, 16, 0));
    ASSERT_TRUE(Shell_NotifyIcon(NIM_ADD, &data));
  }

  std::string dir_;
  HWND window_ = nullptr;
};

// ---- A known state -------------------------------------------------------------

struct KnownState {
  const char* name;
  device::Sip sip;
  bool keyboardShows;
  bool lowered = false;
};

class ScreenKnownStateTest : public ScreenTest, public ::testing::WithParamInterface<KnownState> {};

TEST_P(ScreenKnownStateTest, DrawsBarsTextAndPanelAt240By320) {
  HWND notes = device::CreateForeignWindow(u"NotesApp", nullptr, u"Notes");
  device::SetForeground(notes);
  device::SetSip(GetParam().sip, GetParam().lowered);
  Type("hello world");
  // Two taps on the CE-Star keyboard, as the program posts them.
  HWND keyboard = GetWindow(FindWindowW(u"SipWndClass", nullptr), GW_CHILD);
  if (GetParam().keyboardShows) {
    ASSERT_NE(keyboard, nullptr);
    PostMessageW(keyboard, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(33, 24));
    PostMessageW(keyboard, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(123, 72));
  }
  auto picture = Shoot();
  host::screen::ScreenLayout layout = host::screen::LayOut(host::screen::ReadScreenState());
  ASSERT_EQ(picture->Width(), 240);
  ASSERT_EQ(picture->Height(), 320);

  // Navigation bar: blue, with white writing (Start, "Notes", the clock).
  EXPECT_EQ(layout.navigationBar.height, host::screen::kBarHeight);
  EXPECT_GT(picture->Count(layout.navigationBar, Blue), layout.navigationBar.width * 10);
  EXPECT_GT(picture->Count(Rect{24, 0, 100, 26}, NearWhite), 30);
  // The typed text on the first line, the caret after it, white below.
  EXPECT_EQ(layout.textLines, std::vector<std::string>{"hello world"});
  EXPECT_GT(picture->Count(Rect{4, 30, 100, 14}, Dark), 20);
  for (int y = layout.caret.y; y < layout.caret.Bottom(); ++y) EXPECT_TRUE(Dark(picture->At(layout.caret.x, y)));
  EXPECT_GT(layout.caret.x, 40);
  EXPECT_EQ(picture->Count(Rect{0, 60, 240, 100}, NearWhite), 240 * 100);
  // Command bar at the bottom, in the face colour.
  EXPECT_EQ(layout.commandBar.Bottom(), 320);
  EXPECT_EQ(picture->At(4, 310), kFace);
  // The panel's button is pressed while a panel shows.
  bool pressed = GetParam().sip != device::Sip::None && !GetParam().lowered;
  EXPECT_EQ(picture->At(layout.sipButton.x + 1, layout.sipButton.y + 1), pressed ? 0x808080u : kFace);

  Rect panel{0, 320 - host::screen::kBarHeight - host::screen::kSipHeight, 240, host::screen::kSipHeight};
  if (GetParam().keyboardShows) {
    EXPECT_EQ(layout.keyboard.y, panel.y);
    EXPECT_EQ(layout.focusArea.Bottom(), panel.y);
    // Key outlines across the panel, and a mark on each tapped point.
    EXPECT_GT(picture->Count(panel, [](uint32_t c) { return c == 0x808080; }), 500);
    EXPECT_TRUE(Red(picture->At(panel.x + 33, panel.y + 24)));
    EXPECT_TRUE(Red(picture->At(panel.x + 123, panel.y + 72)));
    EXPECT_EQ(picture->Count(panel, Red), picture->Count(Rect{0, panel.y, 240, 40}, Red) * 2);
  } else {
    EXPECT_TRUE(layout.keyboard.Empty());
    EXPECT_EQ(picture->Count(panel, NearWhite), 240 * host::screen::kSipHeight);
  }
}

INSTANTIATE_TEST_SUITE_P(Panels, ScreenKnownStateTest,
                         ::testing::Values(KnownState{"NoPanel", device::Sip::None, false},
                                           KnownState{"CeStar", device::Sip::CeStar, true},
                                           KnownState{"OtherInputMethod", device::Sip::Other, false},
                                           // Lowered, the panel's windows stay but nothing of it shows.
                                           KnownState{"CeStarLowered", device::Sip::CeStar, false, true},
                                           KnownState{"OtherLowered", device::Sip::Other, false, true}),
                         [](const ::testing::TestParamInfo<KnownState>& info) { return info.param.name; });

TEST_F(ScreenTest, TapsFromAnEarlierPanelAreNotMarked) {
  device::SetSip(device::Sip::CeStar);
  HWND keyboard = GetWindow(FindWindowW(u"SipWndClass", nullptr), GW_CHILD);
  PostMessageW(keyboard, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(33, 24));
  device::SetSip(device::Sip::None);
  device::SetSip(device::Sip::CeStar);
  EXPECT_TRUE(host::screen::ReadScreenState().taps.empty());
  auto picture = Shoot();
  EXPECT_EQ(picture->Count(Rect{0, 214, 240, 80}, Red), 0);
  // Lowered, the panel keeps its keyboard window, which still takes taps:
  // raised again, it shows the taps it took meanwhile too.
  keyboard = GetWindow(FindWindowW(u"SipWndClass", nullptr), GW_CHILD);
  PostMessageW(keyboard, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(33, 24));
  ASSERT_TRUE(device::SetSipLowered(true));
  EXPECT_TRUE(host::screen::ReadScreenState().taps.empty());
  PostMessageW(keyboard, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(123, 72));
  ASSERT_TRUE(device::SetSipLowered(false));
  auto taps = host::screen::ReadScreenState().taps;
  ASSERT_EQ(taps.size(), 2u);
  EXPECT_EQ(taps[1].x, 123);
  EXPECT_EQ(taps[1].y, 72);
}

// ---- The tray icon ---------------------------------------------------------------

class ScreenTrayTest : public ScreenTest, public ::testing::WithParamInterface<int> {};

TEST_P(ScreenTrayTest, IconPixelsAtTheCommandBarsRightEndAreTheLoadedIcon) {
  ShowTray(GetParam());
  std::vector<uint32_t> argb;
  ASSERT_TRUE(device::IconImage(GetParam(), 16, &argb)) << "no image for icon " << GetParam();
  ASSERT_EQ(argb.size(), 256u);
  auto picture = Shoot();
  Rect icon = host::screen::LayOut(host::screen::ReadScreenState()).trayIcon;
  EXPECT_EQ(icon.Right(), 240 - host::screen::kIconMargin);
  EXPECT_EQ(icon.width, 16);
  EXPECT_GE(icon.y, 320 - host::screen::kBarHeight);
  int opaque = 0;
  for (int y = 0; y < 16; ++y) {
    for (int x = 0; x < 16; ++x) {
      // The icon over the command bar's face, by its alpha.
      uint32_t pixel = argb[static_cast<size_t>(y * 16 + x)];
      int alpha = static_cast<int>(pixel >> 24);
      opaque += alpha == 255;
      uint32_t shown = picture->At(icon.x + x, icon.y + y);
      for (int shift : {16, 8, 0}) {
        int expected = (Channel(pixel, shift) * alpha + Channel(kFace, shift) * (255 - alpha) + 127) / 255;
        EXPECT_NEAR(Channel(shown, shift), expected, 2) << "at " << x << "," << y;
      }
    }
  }
  EXPECT_GT(opaque, 64);  // a real picture, not an empty one
}

INSTANTIATE_TEST_SUITE_P(EnabledAndDisabled, ScreenTrayTest, ::testing::Values(114, 119));

// ---- The popup menu --------------------------------------------------------------

struct MenuCase {
  const char* name;
  UINT flags;
  int x, y;
  // Which edges x and y name, as the flags say: 0 left/top, 1 centre, 2 right/bottom.
  int horizontal, vertical;
};

class ScreenMenuTest : public ScreenTest, public ::testing::WithParamInterface<MenuCase> {};

TEST_P(ScreenMenuTest, MenuSitsWhereItsFlagsPutItAndGrayedItemsAreGray) {
  const MenuCase& c = GetParam();
  HMENU menu = CreatePopupMenu();
  AppendMenuW(menu, MF_STRING, 100, u"&Disable");
  AppendMenuW(menu, MF_STRING | MF_GRAYED, 101, u"&Enable");
  AppendMenuW(menu, MF_STRING, 102, u"&About");
  device::SetMenuChooser([](HMENU, int, int) { return device::kMenuStaysOpen; });
  std::thread user([&] { TrackPopupMenuEx(menu, c.flags, c.x, c.y, window_, nullptr); });
  ASSERT_TRUE(device::WaitFor([] { return device::OpenMenu().open; }));
  auto picture = Shoot();
  host::screen::ScreenLayout layout = host::screen::LayOut(host::screen::ReadScreenState());
  EXPECT_TRUE(device::DismissMenu());
  user.join();

  ASSERT_TRUE(layout.menuOpen);
  Rect r = layout.menu;
  EXPECT_EQ(r.height, 3 * layout.menuItemHeight + 6);
  // The rule, with the menu's own size: the named edge at x / y, then back
  // onto the screen.
  int left = c.horizontal == 0 ? c.x : c.horizontal == 1 ? c.x - r.width / 2 : c.x - r.width;
  int top = c.vertical == 0 ? c.y : c.vertical == 1 ? c.y - r.height / 2 : c.y - r.height;
  left = std::clamp(left, 0, 240 - r.width);
  top = std::clamp(top, 0, 320 - r.height);
  EXPECT_EQ(r.x, left);
  EXPECT_EQ(r.y, top);

  // The picture: a black border exactly on that rectangle.
  for (int x = r.x; x < r.Right(); ++x) {
    EXPECT_EQ(picture->At(x, r.y), kBlack);
    EXPECT_EQ(picture->At(x, r.Bottom() - 1), kBlack);
  }
  for (int y = r.y; y < r.Bottom(); ++y) {
    EXPECT_EQ(picture->At(r.x, y), kBlack);
    EXPECT_EQ(picture->At(r.Right() - 1, y), kBlack);
  }
  if (r.Right() < 240) {
    EXPECT_NE(picture->At(r.Right(), r.y + r.height / 2), kBlack);
  }
  if (r.x > 0) {
    EXPECT_NE(picture->At(r.x - 1, r.y + r.height / 2), kBlack);
  }
  // Disable is written in black, the grayed Enable only in lighter gray.
  auto band = [&](int item) { return Rect{r.x + 1, r.y + 3 + item * layout.menuItemHeight, r.width - 2, 16}; };
  EXPECT_GT(picture->Count(band(0), Dark), 10);
  EXPECT_EQ(picture->Count(band(1), Dark), 0);
  EXPECT_GT(picture->Count(band(1), [](uint32_t c) { return Brightness(c) < 200; }), 10);
}

INSTANTIATE_TEST_SUITE_P(
    Flags, ScreenMenuTest,
    ::testing::Values(MenuCase{"TrayRightBottom", TPM_RIGHTALIGN | TPM_BOTTOMALIGN, 208, 304, 2, 2},
                      MenuCase{"LeftTop", 0, 20, 40, 0, 0},
                      MenuCase{"Centred", 0x0004 | 0x0010, 120, 160, 1, 1},
                      MenuCase{"KeptOnScreenTopLeft", TPM_RIGHTALIGN | TPM_BOTTOMALIGN, 10, 10, 2, 2},
                      MenuCase{"KeptOnScreenBottomRight", 0, 230, 315, 0, 0}),
    [](const ::testing::TestParamInfo<MenuCase>& info) { return info.param.name; });

TEST(ScreenMnemonicTest, AmpersandUnderlinesTheNextCharacter) {
  const struct {
    std::u16string text, shown;
    int underlined;
  } cases[] = {{u"&Disable", u"Disable", 0}, {u"Ab&out", u"About", 2}, {u"Fish && Chips", u"Fish & Chips", -1},
               {u"Plain", u"Plain", -1},     {u"Trailing&", u"Trailing&", -1}};
  for (const auto& c : cases) {
    int underlined = 99;
    EXPECT_EQ(host::screen::StripMnemonic(c.text, &underlined), c.shown);
    EXPECT_EQ(underlined, c.underlined);
  }
}

// ---- Message boxes ---------------------------------------------------------------

// The horizontal extent of the white writing in a caption band.
std::pair<int, int> InkColumns(const Picture& picture, Rect band) {
  int first = -1, last = -1;
  for (int x = band.x; x < band.Right(); ++x) {
    for (int y = band.y; y < band.Bottom(); ++y) {
      if (NearWhite(picture.At(x, y))) {
        if (first < 0) first = x;
        last = x;
        break;
      }
    }
  }
  return {first, last};
}

double CaptionWidth(const std::string& caption) {
  cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, 1, 1);
  cairo_t* cr = cairo_create(surface);
  host::screen::UseFont(cr, host::screen::Weight::Bold, host::screen::kCaptionSize);
  double width = host::screen::TextWidth(cr, caption);
  cairo_destroy(cr);
  cairo_surface_destroy(surface);
  return width;
}

TEST_F(ScreenTest, HeldBoxesShowCaptionTextAndOkNewestOnTop) {
  device::SetBoxMode(device::BoxMode::Hold);
  std::thread program([&] { MessageBoxW(window_, u"Port Initial Error!!", u"COM3:", MB_OK); });
  ASSERT_TRUE(device::WaitFor([] { return device::BoxesUp().size() == 1; }));
  std::thread nested([] { MessageBoxW(nullptr, u"Nuvik 1.11\r\nInfrared keyboard\r\n", u"About Nuvik", MB_OK); });
  ASSERT_TRUE(device::WaitFor([] { return device::BoxesUp().size() == 2; }));
  auto picture = Shoot();
  host::screen::ScreenLayout layout = host::screen::LayOut(host::screen::ReadScreenState());
  EXPECT_TRUE(device::AnswerBox());
  nested.join();
  EXPECT_TRUE(device::AnswerBox());
  program.join();

  ASSERT_EQ(layout.boxes.size(), 2u);
  const host::screen::BoxPlace& older = layout.boxes[0];
  const host::screen::BoxPlace& newer = layout.boxes[1];
  EXPECT_EQ(older.lines, std::vector<std::string>{"Port Initial Error!!"});
  EXPECT_EQ(newer.lines, (std::vector<std::string>{"Nuvik 1.11", "Infrared keyboard"}));
  EXPECT_GT(newer.frame.y, older.frame.y);
  EXPECT_GE(newer.frame.y, layout.navigationBar.Bottom());

  // The newer caption band: blue behind white writing as wide as the caption.
  EXPECT_GT(picture->Count(newer.caption, Blue), newer.caption.width * 8);
  auto [first, last] = InkColumns(*picture, newer.caption);
  ASSERT_GE(first, 0);
  EXPECT_NEAR(last + 1 - first, CaptionWidth("About Nuvik"), 3);
  EXPECT_LE(first, newer.caption.x + 8);
  // Its two lines of text and its OK button.
  int textTop = newer.caption.Bottom() + 8;
  for (int line = 0; line < 2; ++line) {
    EXPECT_GT(picture->Count(Rect{newer.frame.x + 1, textTop + line * 14, newer.frame.width - 2, 14}, Dark), 20);
  }
  EXPECT_EQ(picture->At(newer.ok.x, newer.ok.y + newer.ok.height / 2), kBlack);
  EXPECT_GT(picture->Count(newer.ok, Dark), newer.ok.width * 2);
  EXPECT_EQ(picture->At(newer.ok.x + 3, newer.ok.y + 3), kFace);
  // The older box's caption shows where the newer one leaves it uncovered.
  Rect uncovered{older.caption.x, older.caption.y, older.caption.width, newer.frame.y - older.caption.y};
  EXPECT_GT(picture->Count(uncovered, Blue), 0);
  EXPECT_GT(picture->Count(uncovered, [](uint32_t c) { return c == kWhite; }), 5);
}

TEST_F(ScreenTest, UnwritablePathSaysWhy) {
  // A FIFO nobody reads would hold the writer for good: anything that is no
  // regular file is refused without waiting on it.
  std::string fifo = dir_ + "/fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const struct {
    std::string path, says;
  } cases[] = {{"/nonexistent-dir/screen.png", "/nonexistent-dir/screen.png: No such file or directory"},
               {"", "no file name given"},
               {fifo, fifo + ": not a regular file"},
               {dir_, dir_ + ": not a regular file"},
               {"/dev/null", "/dev/null: not a regular file"}};
  for (const auto& c : cases) {
    std::string error;
    EXPECT_FALSE(device::SaveScreen(c.path, &error));
    EXPECT_EQ(error, c.says);
  }
  device::SetScreenSize(240, 60);
  std::string error;
  EXPECT_FALSE(device::SaveScreen(dir_ + "/small.png", &error));
  EXPECT_EQ(error, "the screen is too small to draw (240x60)");
}


// ---- The console's `screen` command ---------------------------------------------

// A FIFO as the picture's path, on the console and at exit: refused with a
// message, and the handheld goes on and ends as it should.
TEST(ScreenConsoleTest, FifoIsRefusedOnTheConsoleAndAtExit) {
  std::string fifo = ::testing::TempDir() + "nuvik-screen-fifo-" + std::to_string(getpid());
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  Process nuvik;
  ASSERT_TRUE(nuvik.Start({BinPath("nuvik")}, {"NUVIK_SCREEN_AT_EXIT=" + fifo}));
  nuvik.Send("screen " + fifo);
  nuvik.Send("send 40010");  // its box shows once the line before has been answered
  ASSERT_GE(nuvik.WaitLineStarting("MessageBoxW owner=main caption=\"About Nuvik\""), 0);
  nuvik.Signal(SIGTERM);
  EXPECT_EQ(nuvik.Wait(), 1);
  const std::string refused = "nuvik: screen: " + fifo + ": not a regular file\n";
  EXPECT_EQ(nuvik.Err(), refused + refused);
  unlink(fifo.c_str());
}

TEST(ScreenConsoleTest, BadPathIsReportedAndTheHandheldGoesOn) {
  char pattern[] = "/tmp/nuvik-screen-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  std::string dir = pattern;
  Process nuvik;
  ASSERT_TRUE(nuvik.Start({BinPath("nuvik")}, {"NUVIK_SCREEN_AT_EXIT=" + dir + "/exit.png"}));
  ASSERT_GE(nuvik.WaitLineStarting("Shell_NotifyIcon op=NIM_ADD icon=114"), 0);
  nuvik.Send("screen /nonexistent-dir/screen.png");
  nuvik.Send("screen " + dir + "/before.png");
  nuvik.Send("tap");
  nuvik.Send("screen " + dir + "/menu.png");
  nuvik.Send("dismiss");
  // The console answers lines in order: once the menu has come and gone,
  // both pictures have been written.
  int opened = nuvik.WaitLineStarting("TrackPopupMenuEx x=208 y=304 flags=0x28");
  ASSERT_GE(opened, 0);
  ASSERT_GE(nuvik.WaitLineStarting("PopupMenuClosed", static_cast<size_t>(opened)), 0);
  nuvik.Signal(SIGTERM);
  EXPECT_EQ(nuvik.Wait(), 1);
  EXPECT_NE(nuvik.Err().find("nuvik: screen: /nonexistent-dir/screen.png: No such file or directory\n"),
            std::string::npos)
      << nuvik.Err();

  Picture before(dir + "/before.png");
  ASSERT_TRUE(before.Ok());
  EXPECT_EQ(before.Width(), 240);
  EXPECT_EQ(before.Height(), 320);
  // The menu's right edge on x=208 and its bottom on y=304, as the program asked.
  Picture menu(dir + "/menu.png");
  ASSERT_TRUE(menu.Ok());
  EXPECT_EQ(menu.At(207, 290), kBlack);
  EXPECT_EQ(menu.At(200, 303), kBlack);
  EXPECT_NE(menu.At(208, 290), kBlack);
  EXPECT_NE(menu.At(200, 304), kBlack);
  EXPECT_NE(before.At(207, 290), kBlack);
  // The picture at exit: the program has gone, and its tray icon with it.
  Picture exit(dir + "/exit.png");
  ASSERT_TRUE(exit.Ok());
  int changed = 0, left = 0;
  for (int y = 320 - host::screen::kBarHeight + 2; y < 320; ++y) {  // below the bar's top edge
    for (int x = 240 - host::screen::kIconMargin - 16; x < 240 - host::screen::kIconMargin; ++x) {
      changed += before.At(x, y) != kFace;
      left += exit.At(x, y) != kFace;
    }
  }
  EXPECT_GT(changed, 64) << "the icon was not in the picture before";
  EXPECT_EQ(left, 0) << "the icon is still there after the program ended";
  std::system(("rm -rf '" + dir + "'").c_str());
}

}  // namespace
