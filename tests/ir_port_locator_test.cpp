// Finding the raw-infrared port from the IrDA driver's registry entries:
// the device name chosen, the one box of each failure, and that no key is
// left open on any path.
#include "port/ir_port_locator.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "device.h"
#include "shell/globals.h"
#include "wide_bytes.h"

namespace {

const char16_t LINKAGE[] = u"Comm\\IrDA\\Linkage";
const char16_t PARMS[] = u"Comm\\IrSIR1\\Parms";

// Stands for the hidden main window: the owner every box must name.
HWND const MAIN_WINDOW = reinterpret_cast<HWND>(0x7A11);

// The usual driver entries: Bind names IrSIR1, whose Parms key holds Port.
void Driver(DWORD port) {
  device::RegistrySetMultiString(LINKAGE, u"Bind", {u"IrSIR1"});
  device::RegistrySetDword(PARMS, u"Port", port);
}

struct Case {
  const char* what;
  std::function<void()> registry;
  const char16_t* port;  // the expected device name; null when the lookup fails
  const char16_t* text;  // the expected box, if any
  const char16_t* caption;
};

class IrPortLocatorTest : public ::testing::Test {
 protected:
  void SetUp() override { device::Reset(); }
  void TearDown() override { device::Reset(); }

  void Run(const Case& c) {
    SCOPED_TRACE(c.what);
    device::Reset();
    c.registry();
    LPCWSTR name = LocateIrPort(MAIN_WINDOW);
    EXPECT_EQ(device::OpenRegistryKeys(), 0);

    std::vector<device::MessageBoxRecord> boxes = device::MessageBoxes();
    if (c.port != nullptr) {
      ASSERT_NE(name, nullptr);
      EXPECT_EQ(std::u16string(name), std::u16string(c.port));
      EXPECT_TRUE(boxes.empty());
    } else {
      EXPECT_EQ(name, nullptr);
      ASSERT_EQ(boxes.size(), 1u);
      EXPECT_EQ(boxes[0].text, c.text);
      EXPECT_EQ(boxes[0].caption, c.caption);
      EXPECT_EQ(boxes[0].owner, MAIN_WINDOW);
      EXPECT_EQ(boxes[0].type, static_cast<UINT>(MB_OK));
    }
  }
};

TEST_F(IrPortLocatorTest, PortNumberChoosesTheDevice) {
  const Case cases[] = {
      {"IrSIR1, Port 3", [] { Driver(3); }, u"COM3:", nullptr, nullptr},
      {"Port 1", [] { Driver(1); }, u"COM1:", nullptr, nullptr},
      {"Port 2", [] { Driver(2); }, u"COM2:", nullptr, nullptr},
      {"Port 4", [] { Driver(4); }, u"COM4:", nullptr, nullptr},
      {"only the low 16 bits count", [] { Driver(0x00010002); }, u"COM2:", nullptr, nullptr},
      {"high word alone", [] { Driver(0x00030000); }, u"COM4:", nullptr, nullptr},
      {"Port 7", [] { Driver(7); }, u"COM4:", nullptr, nullptr},
      {"Port 0", [] { Driver(0); }, u"COM4:", nullptr, nullptr},
      {"Port 0x101", [] { Driver(0x101); }, u"COM4:", nullptr, nullptr},
      {"no Port value",
       [] {
         device::RegistrySetMultiString(LINKAGE, u"Bind", {u"IrSIR1"});
         device::RegistryCreateKey(PARMS);
       },
       u"COM4:", nullptr, nullptr},
      {"Port of one byte is unreadable",
       [] {
         device::RegistrySetMultiString(LINKAGE, u"Bind", {u"IrSIR1"});
         device::RegistrySetValue(PARMS, u"Port", REG_BINARY, {1});
       },
       u"COM4:", nullptr, nullptr},
      {"Port of two binary bytes",
       [] {
         device::RegistrySetMultiString(LINKAGE, u"Bind", {u"IrSIR1"});
         device::RegistrySetValue(PARMS, u"Port", REG_BINARY, {2, 0});
       },
       u"COM2:", nullptr, nullptr},
      {"Port as an 8-byte binary",
       [] {
         device::RegistrySetMultiString(LINKAGE, u"Bind", {u"IrSIR1"});
         device::RegistrySetValue(PARMS, u"Port", REG_BINARY, {3, 0, 0, 0, 9, 9, 9, 9});
       },
       u"COM3:", nullptr, nullptr},
      {"Port longer than any number needs is unreadable",
       [] {
         device::RegistrySetMultiString(LINKAGE, u"Bind", {u"IrSIR1"});
         device::RegistrySetValue(PARMS, u"Port", REG_BINARY, std::vector<BYTE>(17, 1));
       },
       u"COM4:", nullptr, nullptr},
  };
  for (const Case& c : cases) Run(c);
}

TEST_F(IrPortLocatorTest, BindNameComposesTheParmsPath) {
  const std::u16string longName = u"IrDAMiniportWithAThirtyCharsX1";
  ASSERT_EQ(longName.size(), 30u);
  const std::u16string longest(199, u'n');
  const std::u16string full(200, u'f');
  const Case cases[] = {
      {"30-character name",
       [&] {
         device::RegistrySetMultiString(LINKAGE, u"Bind", {longName, u"Other"});
         device::RegistrySetDword(u"Comm\\" + longName + u"\\Parms", u"Port", 2);
         device::RegistrySetDword(u"Comm\\" + longName.substr(0, 29) + u"\\Parms", u"Port", 1);
       },
       u"COM2:", nullptr, nullptr},
      {"Bind as REG_SZ",
       [] {
         device::RegistrySetString(LINKAGE, u"Bind", u"IrSIR1");
         device::RegistrySetDword(PARMS, u"Port", 1);
       },
       u"COM1:", nullptr, nullptr},
      {"only the first string of the list",
       [] {
         device::RegistrySetMultiString(LINKAGE, u"Bind", {u"IrSIR2", u"IrSIR1"});
         device::RegistrySetDword(u"Comm\\IrSIR2\\Parms", u"Port", 2);
         device::RegistrySetDword(PARMS, u"Port", 1);
       },
       u"COM2:", nullptr, nullptr},
      {"Bind without a NUL is taken whole",
       [] {
         device::RegistrySetValue(LINKAGE, u"Bind", REG_BINARY, Wide(u"IrSIR1"));
         device::RegistrySetDword(PARMS, u"Port", 3);
       },
       u"COM3:", nullptr, nullptr},
      {"an odd last byte of Bind is dropped",
       [] {
         std::vector<BYTE> bind = Wide(u"IrSIR1");
         bind.push_back('X');
         device::RegistrySetValue(LINKAGE, u"Bind", REG_BINARY, bind);
         device::RegistrySetDword(PARMS, u"Port", 3);
       },
       u"COM3:", nullptr, nullptr},
      {"199 characters and a NUL fill the buffer",
       [&] {
         device::RegistrySetString(LINKAGE, u"Bind", longest);
         device::RegistrySetDword(u"Comm\\" + longest + u"\\Parms", u"Port", 2);
       },
       u"COM2:", nullptr, nullptr},
      {"200 characters with no NUL fill it too",
       [&] {
         device::RegistrySetValue(LINKAGE, u"Bind", REG_BINARY, Wide(full));
         device::RegistrySetDword(u"Comm\\" + full + u"\\Parms", u"Port", 3);
       },
       u"COM3:", nullptr, nullptr},
  };
  for (const Case& c : cases) Run(c);
}

TEST_F(IrPortLocatorTest, EachFailureShowsItsOneBox) {
  const Case cases[] = {
      {"no Linkage key", [] { device::RegistrySetDword(PARMS, u"Port", 3); }, nullptr,
       u"IrDA driver or IrDA port not found.", u"Error 01"},
      {"empty registry", [] {}, nullptr, u"IrDA driver or IrDA port not found.", u"Error 01"},
      {"no Bind value",
       [] {
         device::RegistryCreateKey(LINKAGE);
         device::RegistrySetDword(PARMS, u"Port", 3);
       },
       nullptr, u"Port not found!", u"Error 02"},
      {"Bind longer than the buffer",
       [] {
         device::RegistrySetString(LINKAGE, u"Bind", std::u16string(200, u'n'));  // 402 bytes with its NUL
         device::RegistrySetDword(PARMS, u"Port", 3);
       },
       nullptr, u"Port not found!", u"Error 02"},
      {"no Parms key",
       [] {
         device::RegistrySetMultiString(LINKAGE, u"Bind", {u"IrSIR1"});
         device::RegistryCreateKey(u"Comm\\IrSIR1");
       },
       nullptr, u"Port not found!!", u"Error 03"},
      {"Parms under another name",
       [] {
         device::RegistrySetMultiString(LINKAGE, u"Bind", {u"IrSIR"});
         device::RegistrySetDword(PARMS, u"Port", 3);
       },
       nullptr, u"Port not found!!", u"Error 03"},
      {"empty Bind name",
       [] {
         device::RegistrySetMultiString(LINKAGE, u"Bind", {u""});
         device::RegistrySetDword(u"Comm\\Parms", u"Port", 3);
       },
       nullptr, u"Port not found!!", u"Error 03"},
      {"zero-length Bind",
       [] {
         device::RegistrySetValue(LINKAGE, u"Bind", REG_MULTI_SZ, {});
         device::RegistrySetDword(u"Comm\\Parms", u"Port", 3);
       },
       nullptr, u"Port not found!!", u"Error 03"},
  };
  for (const Case& c : cases) Run(c);
}

}  // namespace
