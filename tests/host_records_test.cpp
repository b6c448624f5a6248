// The trace's string format and the simulated focus window's text.
#include <gtest/gtest.h>

#include "device.h"
#include "platform.h"

namespace {

struct QuoteCase {
  std::u16string text;
  std::string quoted;
};

class HostQuoteTest : public ::testing::TestWithParam<QuoteCase> {};

TEST_P(HostQuoteTest, EscapesAsC) { EXPECT_EQ(device::Quote(GetParam().text), GetParam().quoted); }

INSTANTIATE_TEST_SUITE_P(
    Strings, HostQuoteTest,
    ::testing::Values(QuoteCase{u"", "\"\""}, QuoteCase{u"COM3:", "\"COM3:\""},
                      QuoteCase{u"Unable to open IR port!\r\n", "\"Unable to open IR port!\\r\\n\""},
                      QuoteCase{u"say \"hi\" \\ bye\t", "\"say \\\"hi\\\" \\\\ bye\\t\""},
                      QuoteCase{std::u16string(u"a\0b\x1f\x7f", 5), "\"a\\x00b\\x1F\\x7F\""},
                      QuoteCase{u"caf\u00e9", "\"caf\xC3\xA9\""},
                      QuoteCase{u"\U0001F600!", "\"\xF0\x9F\x98\x80!\""},
                      QuoteCase{std::u16string(1, char16_t(0xD800)), "\"\xEF\xBF\xBD\""}));

TEST(HostUtf8, RoundTripsAndReplacesBadBytes) {
  for (const std::u16string& text : {std::u16string(u"plain"), std::u16string(u"\u00e9\u20ac\U0001F600")}) {
    EXPECT_EQ(device::FromUtf8(device::ToUtf8(text)), text);
  }
  EXPECT_EQ(device::FromUtf8("a\xFF" "b"), u"a\uFFFDb");
  EXPECT_EQ(device::FromUtf8("\xE2\x82"), u"\uFFFD\uFFFD");  // cut short
}

struct TypingCase {
  const char* name;
  std::vector<std::pair<WORD, bool>> keys;  // virtual key, released
  std::u16string text;
};

class HostFocusTextTest : public ::testing::TestWithParam<TypingCase> {};

TEST_P(HostFocusTextTest, TypesWithUsLayout) {
  device::Reset();
  for (auto [vk, up] : GetParam().keys) {
    INPUT input = {};
    input.type = INPUT_KEYBOARD;
    input.ki.wVk = vk;
    input.ki.dwFlags = up ? KEYEVENTF_KEYUP : 0;
    ASSERT_EQ(SendInput(1, &input, sizeof input), 1u);
  }
  EXPECT_EQ(device::FocusText(), GetParam().text);
  device::Reset();
}

INSTANTIATE_TEST_SUITE_P(
    Keys, HostFocusTextTest,
    ::testing::Values(
        TypingCase{"Letters", {{'H', false}, {'H', true}, {'I', false}, {'I', true}}, u"hi"},
        TypingCase{"ShiftHeld", {{VK_SHIFT, false}, {'H', false}, {'1', false}, {VK_SHIFT, true}, {'I', false}}, u"H!i"},
        TypingCase{"BackspaceDeletes", {{'A', false}, {'B', false}, {VK_BACK, false}, {VK_BACK, false}, {VK_BACK, false}},
                   u""},
        TypingCase{"Punctuation", {{0xBC, false}, {0xBE, false}, {VK_SHIFT, false}, {0xBF, false}, {0xDE, false}},
                   u",.?\""},
        TypingCase{"CapsLock", {{0x14, false}, {0x14, true}, {'A', false}, {VK_SHIFT, false}, {'A', false}}, u"Aa"},
        TypingCase{"ReleasesTypeNothing", {{'A', true}, {0x20, true}}, u""}),
    [](const ::testing::TestParamInfo<TypingCase>& info) { return info.param.name; });

}  // namespace
