// Loading registry exports (.reg files) into the handheld's registry: what a
// good file puts there, where a bad one is refused, and that a refused file
// leaves the registry untouched.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "device.h"
#include "wide_bytes.h"

namespace {

const char V5[] = "Windows Registry Editor Version 5.00\r\n\r\n";

struct Read {
  LONG status;
  DWORD type;
  std::vector<BYTE> data;
};

Read ReadValue(const std::u16string& path, const std::u16string& name) {
  HKEY key = nullptr;
  LONG status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, 0, &key);
  if (status != ERROR_SUCCESS) return {status, 0, {}};
  Read read{ERROR_SUCCESS, 0, std::vector<BYTE>(1024)};
  DWORD size = static_cast<DWORD>(read.data.size());
  read.status = RegQueryValueExW(key, name.c_str(), nullptr, &read.type, read.data.data(), &size);
  read.data.resize(read.status == ERROR_SUCCESS ? size : 0);
  RegCloseKey(key);
  return read;
}

bool KeyExists(const std::u16string& path) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, 0, &key) != ERROR_SUCCESS) return false;
  RegCloseKey(key);
  return true;
}

std::string Utf16File(const std::u16string& text) {
  std::string bytes = "\xFF\xFE";
  for (BYTE b : Wide(text)) bytes.push_back(static_cast<char>(b));
  return bytes;
}

class RegFileTest : public ::testing::Test {
 protected:
  void SetUp() override { device::Reset(); }
  void TearDown() override {
    EXPECT_EQ(device::OpenRegistryKeys(), 0);
    device::Reset();
  }
};

struct Expect {
  const char16_t* path;
  const char16_t* name;
  DWORD type;
  std::vector<BYTE> data;
};

struct GoodFile {
  const char* what;
  std::string text;
  std::vector<Expect> values;
  std::vector<const char16_t*> presentKeys;
  std::vector<const char16_t*> absentKeys;
  std::vector<std::pair<const char16_t*, const char16_t*>> absentValues;
};

TEST_F(RegFileTest, GoodFilesLoad) {
  const GoodFile files[] = {
      {"every value kind, version 5",
       std::string(V5) + "[HKEY_LOCAL_MACHINE\\Comm\\IrDA\\Linkage]\r\n"
                         "\"Bind\"=hex(7):49,00,72,00,53,00,49,00,52,00,31,00,00,00,00,00\r\n"
                         "@=\"default\"\r\n"
                         "\"Path\"=\"C:\\\\dir \\\"q\\\"\"\r\n"
                         "\"Dw\"=dword:00010002\r\n"
                         "\"Short\"=dword:7\r\n"
                         "\"Bin\"=hex:01,ff,0A\r\n"
                         "\"Empty\"=hex:\r\n"
                         "\"Exp\"=hex(2):25,00,00,00\r\n"
                         "\"Q\"=hex(b):01,02,03,04,05,06,07,08\r\n"
                         "\"None\"=hex(0):\r\n"
                         "\"Big\"=hex(12345678):5\r\n",
       {{u"Comm\\IrDA\\Linkage", u"Bind", REG_MULTI_SZ, Wide(std::u16string(u"IrSIR1\0\0", 8))},
        {u"Comm\\IrDA\\Linkage", u"", REG_SZ, Wide(std::u16string(u"default\0", 8))},
        {u"Comm\\IrDA\\Linkage", u"Path", REG_SZ, Wide(std::u16string(u"C:\\dir \"q\"\0", 11))},
        {u"Comm\\IrDA\\Linkage", u"Dw", REG_DWORD, {2, 0, 1, 0}},
        {u"Comm\\IrDA\\Linkage", u"Short", REG_DWORD, {7, 0, 0, 0}},
        {u"Comm\\IrDA\\Linkage", u"Bin", REG_BINARY, {0x01, 0xff, 0x0a}},
        {u"Comm\\IrDA\\Linkage", u"Empty", REG_BINARY, {}},
        {u"Comm\\IrDA\\Linkage", u"Exp", REG_EXPAND_SZ, {0x25, 0, 0, 0}},
        {u"Comm\\IrDA\\Linkage", u"Q", 11, {1, 2, 3, 4, 5, 6, 7, 8}},
        {u"Comm\\IrDA\\Linkage", u"None", REG_NONE, {}},
        {u"Comm\\IrDA\\Linkage", u"Big", 0x12345678, {5}}},
       {u"Comm", u"Comm\\IrDA"},
       {},
       {}},
      {"REGEDIT4 widens 8-bit strings",
       "REGEDIT4\n\n[HKLM\\Comm\\IrDA\\Linkage]\n"
       "\"Bind\"=hex(7):49,72,53,49,52,31,00,00\n"
       "\"Exp\"=hex(2):25,41,25,00\n"
       "\"Bin\"=hex:49,72\n"
       "\"Text\"=\"IrSIR1\"\n",
       {{u"Comm\\IrDA\\Linkage", u"Bind", REG_MULTI_SZ, Wide(std::u16string(u"IrSIR1\0\0", 8))},
        {u"Comm\\IrDA\\Linkage", u"Exp", REG_EXPAND_SZ, Wide(std::u16string(u"%A%\0", 4))},
        {u"Comm\\IrDA\\Linkage", u"Bin", REG_BINARY, {0x49, 0x72}},
        {u"Comm\\IrDA\\Linkage", u"Text", REG_SZ, Wide(std::u16string(u"IrSIR1\0", 7))}},
       {},
       {},
       {}},
      {"continuations, comments, blanks, spacing, LF endings",
       "\n  \nWindows Registry Editor Version 5.00\n"
       "; a comment\n"
       "\n"
       "  [HKEY_LOCAL_MACHINE\\Comm\\IrSIR1\\Parms]  \n"
       "  ; indented comment\n"
       "\"Long\"=hex:01,02,\\\n"
       "  03,04,\\\n"
       "\t\t05\n"
       "\"Port\" = dword:00000003\n"
       "[HKEY_LOCAL_MACHINE\\Comm\\Empty]\n",
       {{u"Comm\\IrSIR1\\Parms", u"Long", REG_BINARY, {1, 2, 3, 4, 5}},
        {u"Comm\\IrSIR1\\Parms", u"Port", REG_DWORD, {3, 0, 0, 0}}},
       {u"Comm\\Empty"},
       {},
       {}},
      {"deletes of keys and values, later lines win",
       std::string(V5) + "[HKEY_LOCAL_MACHINE\\Gone\\Sub]\r\n\"A\"=dword:1\r\n"
                         "[HKEY_LOCAL_MACHINE\\Keep]\r\n\"A\"=dword:1\r\n\"B\"=dword:2\r\n\"C\"=\"c\"\r\n"
                         "[-HKEY_LOCAL_MACHINE\\Gone]\r\n"
                         "[-HKEY_LOCAL_MACHINE\\NeverWas]\r\n"
                         "[HKEY_LOCAL_MACHINE\\Keep]\r\n\"B\"=-\r\n\"Missing\"=-\r\n\"c\"=dword:9\r\n",
       {{u"Keep", u"A", REG_DWORD, {1, 0, 0, 0}}, {u"Keep", u"C", REG_DWORD, {9, 0, 0, 0}}},
       {u"Keep"},
       {u"Gone", u"Gone\\Sub", u"NeverWas"},
       {{u"Keep", u"B"}}},
      {"UTF-8 BOM and non-ASCII names",
       "\xEF\xBB\xBF" + std::string(V5) +
           "[HKEY_LOCAL_MACHINE\\Caf\xC3\xA9]\r\n\"\xE2\x82\xAC\"=\"\xF0\x9F\x98\x80\"\r\n",
       {{u"Caf\u00e9", u"\u20ac", REG_SZ, Wide(std::u16string(u"\U0001F600\0", 3))}},
       {},
       {},
       {}},
      {"UTF-16LE with BOM",
       Utf16File(u"Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\Comm\\\u00c9t\u00e9]\r\n"
                 u"\"N\u00e4me\"=\"\u20ac \U0001F600\"\r\n\"Bind\"=hex(7):49,00,00,00,\\\r\n  00,00\r\n"),
       {{u"Comm\\\u00c9t\u00e9", u"N\u00e4me", REG_SZ, Wide(std::u16string(u"\u20ac \U0001F600\0", 5))},
        {u"Comm\\\u00c9t\u00e9", u"Bind", REG_MULTI_SZ, {0x49, 0, 0, 0, 0, 0}}},
       {},
       {},
       {}},
  };
  for (const GoodFile& file : files) {
    SCOPED_TRACE(file.what);
    device::RegistryClear();
    std::string error = "untouched";
    ASSERT_TRUE(device::RegistryLoadText(file.text, "good.reg", &error)) << error;
    for (const Expect& e : file.values) {
      SCOPED_TRACE(device::ToUtf8(e.path) + " " + device::ToUtf8(e.name));
      Read read = ReadValue(e.path, e.name);
      EXPECT_EQ(read.status, ERROR_SUCCESS);
      EXPECT_EQ(read.type, e.type);
      EXPECT_EQ(read.data, e.data);
    }
    for (const char16_t* key : file.presentKeys) EXPECT_TRUE(KeyExists(key)) << device::ToUtf8(key);
    for (const char16_t* key : file.absentKeys) EXPECT_FALSE(KeyExists(key)) << device::ToUtf8(key);
    for (const auto& value : file.absentValues) {
      EXPECT_EQ(ReadValue(value.first, value.second).status, ERROR_FILE_NOT_FOUND)
          << device::ToUtf8(value.second);
    }
  }
}

TEST_F(RegFileTest, LoadingMergesWithWhatIsThere) {
  device::RegistrySetDword(u"Comm\\Old", u"Kept", 1);
  ASSERT_TRUE(
      device::RegistryLoadText(std::string(V5) + "[HKEY_LOCAL_MACHINE\\Comm\\New]\r\n", "m.reg", nullptr));
  EXPECT_EQ(ReadValue(u"Comm\\Old", u"Kept").status, ERROR_SUCCESS);
  EXPECT_TRUE(KeyExists(u"Comm\\New"));
}

struct BadFile {
  const char* what;
  std::string text;
  int line;
  const char* message;  // a part of what the error says
};

TEST_F(RegFileTest, MalformedFilesAreRefusedWithTheirLineAndLoadNothing) {
  // Each bad file first changes everything a good file could, so that a
  // partial load would show.
  const std::string prefix = std::string(V5) +                        // lines 1-2
                             "[-HKEY_LOCAL_MACHINE\\Pre]\r\n"         // 3
                             "[HKEY_LOCAL_MACHINE\\Comm\\Fresh]\r\n"  // 4
                             "\"Kept\"=-\r\n"                         // 5
                             "\"New\"=dword:00000001\r\n";            // 6
  const BadFile files[] = {
      {"bad header", "Windows Registry Editor Version 4.00\r\n[HKEY_LOCAL_MACHINE\\A]\r\n", 1,
       "not a registry export"},
      {"header after blank lines", "\r\n\r\nREGEDIT5\r\n", 3, "not a registry export"},
      {"comment before header", "; hi\r\nREGEDIT4\r\n", 1, "not a registry export"},
      {"empty file", "", 1, "empty file"},
      {"value before any key", std::string(V5) + "\"A\"=dword:1\r\n", 3, "value before any"},
      {"bad escape", prefix + "\"A\"=\"c:\\dir\"\r\n", 7, "bad escape"},
      {"bad escape in a name", prefix + "\"A\\n\"=\"x\"\r\n", 7, "bad escape"},
      {"unterminated string", prefix + "\"A\"=\"abc\r\n", 7, "unterminated string"},
      {"unterminated name", prefix + "\"A=dword:1\r\n", 7, "unterminated string"},
      {"string ending in a backslash", prefix + "\"A\"=\"abc\\\r\n", 7, "unterminated string"},
      {"text after a string", prefix + "\"A\"=\"abc\" x\r\n", 7, "after the string"},
      {"bad hex byte", prefix + "\"A\"=hex:01,zz,03\r\n", 7, "bad hex byte \"zz\""},
      {"three-digit hex byte", prefix + "\"A\"=hex:01,123\r\n", 7, "bad hex byte \"123\""},
      {"missing comma", prefix + "\"A\"=hex:01 02\r\n", 7, "missing ','"},
      {"trailing comma", prefix + "\"A\"=hex:01,\r\n", 7, "ends with ','"},
      {"doubled comma", prefix + "\"A\"=hex:01,,02\r\n", 7, "missing byte"},
      {"bad byte on a continuation line", prefix + "\"A\"=hex:01,\\\r\n  02,\\\r\n  0g\r\n", 9,
       "bad hex byte"},
      {"continuation at end of file", prefix + "\"A\"=hex:01,\\", 7, "at end of file"},
      {"continuation at end of file after CRLF", prefix + "\"A\"=hex:01,\\\r\n  02,\\\r\n", 8,
       "at end of file"},
      {"dword out of range", prefix + "\"A\"=dword:100000000\r\n", 7, "dword out of range"},
      {"dword not hex", prefix + "\"A\"=dword:12x4\r\n", 7, "bad dword"},
      {"dword without digits", prefix + "\"A\"=dword:\r\n", 7, "without hex digits"},
      {"unknown value syntax", prefix + "\"A\"=qword:1\r\n", 7, "unknown value syntax"},
      {"bare word value", prefix + "\"A\"=yes\r\n", 7, "unknown value syntax"},
      {"missing equals", prefix + "\"A\" dword:1\r\n", 7, "expected '='"},
      {"bad hex type", prefix + "\"A\"=hex(g):00\r\n", 7, "bad value type"},
      {"hex type unclosed", prefix + "\"A\"=hex(7:00\r\n", 7, "missing ')'"},
      {"hex without colon", prefix + "\"A\"=hex 00\r\n", 7, "expected ':'"},
      {"missing ]", prefix + "[HKEY_LOCAL_MACHINE\\A\r\n", 7, "missing ']'"},
      {"empty key name", prefix + "[HKEY_LOCAL_MACHINE\\A\\\\B]\r\n", 7, "empty key name"},
      {"empty section", prefix + "[]\r\n", 7, "empty key name"},
      {"another hive", prefix + "[HKEY_CURRENT_USER\\Software]\r\n", 7, "only HKEY_LOCAL_MACHINE"},
      {"hive prefix only", prefix + "[HKEY_LOCAL_MACHINEX\\A]\r\n", 7, "only HKEY_LOCAL_MACHINE"},
      {"deleting the hive", prefix + "[-HKEY_LOCAL_MACHINE]\r\n", 7, "cannot be deleted"},
      {"value under a deleted key", prefix + "[-HKEY_LOCAL_MACHINE\\A]\r\n\"B\"=dword:1\r\n", 8,
       "deletes its key"},
      {"unknown line", prefix + "Port=3\r\n", 7, "unknown line"},
      {"invalid UTF-8", prefix + "\"A\"=\"\xC3\x28\"\r\n", 7, "invalid UTF-8"},
      {"overlong UTF-8", prefix + "\"A\"=\"\xC0\xAF\"\r\n", 7, "invalid UTF-8"},
      {"UTF-8 cut short", prefix + "\"A\"=\"\xE2\x82", 7, "cut short"},
      {"odd UTF-16 length", Utf16File(u"REGEDIT4\r\n[HKLM\\A]\r\n\"B\"=\"c\"") + "x", 3,
       "odd number of bytes"},
      {"big-endian UTF-16", "\xFE\xFF", 1, "big-endian"},
      {"BOM only", "\xFF\xFE", 1, "empty file"},
  };
  for (const BadFile& file : files) {
    SCOPED_TRACE(file.what);
    device::RegistryClear();
    device::RegistrySetDword(u"Pre", u"Kept", 5);
    device::RegistrySetDword(u"Comm\\Fresh", u"Kept", 6);
    std::string error;
    EXPECT_FALSE(device::RegistryLoadText(file.text, "bad.reg", &error));
    std::string where = "bad.reg:" + std::to_string(file.line) + ": ";
    EXPECT_EQ(error.compare(0, where.size(), where), 0) << error;
    EXPECT_NE(error.find(file.message), std::string::npos) << error;
    EXPECT_EQ(ReadValue(u"Pre", u"Kept").data, std::vector<BYTE>({5, 0, 0, 0}));
    EXPECT_EQ(ReadValue(u"Comm\\Fresh", u"Kept").data, std::vector<BYTE>({6, 0, 0, 0}));
    EXPECT_EQ(ReadValue(u"Comm\\Fresh", u"New").status, ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(KeyExists(u"A"));
  }
}

TEST_F(RegFileTest, LoadFileReadsFromDiskAndReportsUnreadableFiles) {
  char path[] = "/tmp/nuvik_reg_XXXXXX";
  int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  std::string text =
      std::string(V5) + "[HKEY_LOCAL_MACHINE\\Comm\\IrSIR1\\Parms]\r\n\"Port\"=dword:00000003\r\n";
  ASSERT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
  close(fd);
  std::string error;
  EXPECT_TRUE(device::RegistryLoadFile(path, &error)) << error;
  EXPECT_EQ(ReadValue(u"Comm\\IrSIR1\\Parms", u"Port").data, std::vector<BYTE>({3, 0, 0, 0}));

  // A fault is reported under the file's own path.
  fd = open(path, O_WRONLY | O_TRUNC);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(write(fd, "REGEDIT4\n[HKLM\\A\n", 17), 17);
  close(fd);
  EXPECT_FALSE(device::RegistryLoadFile(path, &error));
  EXPECT_EQ(error, std::string(path) + ":2: missing ']' at the end of the key line");
  unlink(path);

  EXPECT_FALSE(device::RegistryLoadFile(path, &error));
  EXPECT_EQ(error, std::string(path) + ": cannot read: No such file or directory");
  EXPECT_FALSE(device::RegistryLoadFile("/tmp", &error));
  EXPECT_EQ(error, "/tmp: cannot read: Is a directory");
}

// Every cut of a good file and every one-byte change of it is either loaded
// or refused with a located message; none reads past its input (the
// sanitizers watch) or leaves a key handle open.
TEST_F(RegFileTest, DamagedFilesNeverBreakTheLoader) {
  const std::string good = std::string(V5) +
                           "[HKEY_LOCAL_MACHINE\\Comm\\IrDA\\Linkage]\r\n"
                           "\"Bind\"=hex(7):49,00,72,00,\\\r\n  53,00,00,00\r\n"
                           "@=\"a\\\\b\\\"c\"\r\n\"Port\"=dword:3\r\n\"X\"=-\r\n[-HKLM\\Old]\r\n";
  const std::vector<std::string> bases = {good, Utf16File(device::FromUtf8(good))};
  const char replacements[] = {'\0', '\\', '"', ',', '[', ']', '\n', ':', '(', '\xFF', '-', '@'};
  int loaded = 0;
  int refused = 0;
  auto check = [&](const std::string& text) {
    std::string error;
    if (device::RegistryLoadText(text, "f.reg", &error)) {
      ++loaded;
    } else {
      ++refused;
      ASSERT_EQ(error.compare(0, 6, "f.reg:"), 0) << error;
      ASSERT_GT(error.size(), 9u);
    }
  };
  for (const std::string& base : bases) {
    for (size_t cut = 0; cut <= base.size(); ++cut) check(base.substr(0, cut));
    for (size_t at = 0; at < base.size(); ++at) {
      for (char c : replacements) {
        std::string changed = base;
        changed[at] = c;
        check(changed);
      }
    }
  }
  EXPECT_GT(loaded, 0);
  EXPECT_GT(refused, 0);
}

}  // namespace
