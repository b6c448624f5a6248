// The host registry as the program sees it through RegOpenKeyExW,
// RegQueryValueExW and RegCloseKey: Win32 return codes, the size protocol of
// value reads, handle lifetimes and concurrent use.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "device.h"

namespace {

const LONG ERROR_KEY_DELETED_CODE = 1018;

class HostRegistryTest : public ::testing::Test {
 protected:
  void SetUp() override { device::Reset(); }
  void TearDown() override {
    EXPECT_EQ(device::OpenRegistryKeys(), 0);
    device::Reset();
  }
};

HKEY Open(const char16_t* path) {
  HKEY key = nullptr;
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, 0, &key), ERROR_SUCCESS) << device::ToUtf8(path);
  return key;
}

TEST_F(HostRegistryTest, OpenKeyAnswersWin32Codes) {
  device::RegistryCreateKey(u"Comm\\IrDA\\Linkage");
  struct Case {
    const char16_t* path;
    LONG expected;
  } cases[] = {
      {u"Comm\\IrDA\\Linkage", ERROR_SUCCESS},
      {u"COMM\\irda\\LINKAGE", ERROR_SUCCESS},  // names ignore case
      {u"Comm\\IrDA", ERROR_SUCCESS},
      {u"\\Comm\\IrDA", ERROR_SUCCESS},  // a leading backslash is tolerated
      {u"Comm\\IrDA\\", ERROR_SUCCESS},  // so is a trailing one
      {u"", ERROR_SUCCESS},              // the key itself, as a new handle
      {nullptr, ERROR_SUCCESS},
      {u"Comm\\IrDA\\Missing", ERROR_FILE_NOT_FOUND},
      {u"Comm\\\\IrDA", ERROR_FILE_NOT_FOUND},  // an empty name is no key
      {u"Comm\\IrD", ERROR_FILE_NOT_FOUND},
      {u"Comm\\IrDA\\Linkage\\Deeper", ERROR_FILE_NOT_FOUND},
      {u"HKEY_LOCAL_MACHINE\\Comm", ERROR_FILE_NOT_FOUND},  // paths are below the key given
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path ? device::ToUtf8(c.path) : "(null)");
    HKEY key = reinterpret_cast<HKEY>(1);
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, c.path, 0, 0, &key), c.expected);
    if (c.expected == ERROR_SUCCESS) {
      EXPECT_NE(key, nullptr);
      EXPECT_EQ(device::OpenRegistryKeys(), 1);
      EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    } else {
      EXPECT_EQ(key, nullptr);
    }
    EXPECT_EQ(device::OpenRegistryKeys(), 0);
  }
}

TEST_F(HostRegistryTest, OpenKeyRejectsBadHandlesAndArguments) {
  device::RegistryCreateKey(u"Comm");
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Comm", 0, 0, nullptr), ERROR_INVALID_PARAMETER);
  HKEY key = nullptr;
  EXPECT_EQ(RegOpenKeyExW(reinterpret_cast<HKEY>(0x1234), u"Comm", 0, 0, &key), ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegOpenKeyExW(nullptr, u"Comm", 0, 0, &key), ERROR_INVALID_HANDLE);
  EXPECT_EQ(device::OpenRegistryKeys(), 0);
}

TEST_F(HostRegistryTest, HandlesAreFreshAndCloseOnce) {
  device::RegistryCreateKey(u"Comm\\IrSIR1\\Parms");
  HKEY first = Open(u"Comm\\IrSIR1");
  HKEY second = Open(u"Comm\\IrSIR1");
  EXPECT_NE(first, second);
  EXPECT_EQ(device::OpenRegistryKeys(), 2);

  // Relative to an open key.
  HKEY parms = nullptr;
  EXPECT_EQ(RegOpenKeyExW(first, u"Parms", 0, KEY_READ, &parms), ERROR_SUCCESS);
  EXPECT_EQ(device::OpenRegistryKeys(), 3);

  EXPECT_EQ(RegCloseKey(first), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(first), ERROR_INVALID_HANDLE);
  HKEY stale = first;
  EXPECT_EQ(RegOpenKeyExW(stale, u"Parms", 0, 0, &first), ERROR_INVALID_HANDLE);

  // A closed handle's value comes back with the next open, as on the
  // handheld, unless recycling is off; a live handle's value never does.
  for (bool recycle : {true, false}) {
    SCOPED_TRACE(recycle ? "recycling" : "not recycling");
    device::SetHandleRecycling(recycle);
    HKEY again = Open(u"Comm");
    EXPECT_EQ(again == stale, recycle);
    EXPECT_EQ(RegCloseKey(again), ERROR_SUCCESS);
    stale = again;
    for (int i = 0; i < 50; ++i) {
      again = Open(u"Comm");
      EXPECT_EQ(again == stale, recycle);
      EXPECT_NE(again, second);
      EXPECT_NE(again, parms);
      EXPECT_EQ(RegCloseKey(again), ERROR_SUCCESS);
      stale = again;
    }
  }
  device::SetHandleRecycling(true);
  EXPECT_EQ(RegCloseKey(reinterpret_cast<HKEY>(0x5678)), ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegCloseKey(second), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(parms), ERROR_SUCCESS);
}

TEST_F(HostRegistryTest, QueryFollowsTheSizeProtocol) {
  device::RegistrySetDword(u"Comm\\IrSIR1\\Parms", u"Port", 3);
  device::RegistrySetValue(u"Comm\\IrSIR1\\Parms", u"Empty", REG_BINARY, {});
  HKEY key = Open(u"Comm\\IrSIR1\\Parms");

  struct Case {
    const char* what;
    const char16_t* name;
    bool withType;
    bool withData;
    bool withSize;
    DWORD bufferSize;
    LONG expected;
    DWORD expectedSize;
    bool dataWritten;
  } cases[] = {
      {"exact buffer", u"Port", true, true, true, 4, ERROR_SUCCESS, 4, true},
      {"larger buffer", u"Port", true, true, true, 16, ERROR_SUCCESS, 4, true},
      {"name ignores case", u"pORT", true, true, true, 4, ERROR_SUCCESS, 4, true},
      {"no type wanted", u"Port", false, true, true, 4, ERROR_SUCCESS, 4, true},
      {"size only", u"Port", true, false, true, 0, ERROR_SUCCESS, 4, false},
      {"neither data nor size", u"Port", true, false, false, 0, ERROR_SUCCESS, 0, false},
      {"buffer too small", u"Port", true, true, true, 3, ERROR_MORE_DATA, 4, false},
      {"zero buffer", u"Port", true, true, true, 0, ERROR_MORE_DATA, 4, false},
      {"empty value", u"Empty", true, true, true, 8, ERROR_SUCCESS, 0, false},
      {"missing value", u"Bind", true, true, true, 16, ERROR_FILE_NOT_FOUND, 16, false},
      {"data without size", u"Port", true, true, false, 0, ERROR_INVALID_PARAMETER, 0, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    DWORD type = 0xEEEE;
    BYTE data[16];
    memset(data, 0xAB, sizeof data);
    DWORD size = c.bufferSize;
    LONG status = RegQueryValueExW(key, c.name, nullptr, c.withType ? &type : nullptr,
                                   c.withData ? data : nullptr, c.withSize ? &size : nullptr);
    EXPECT_EQ(status, c.expected);
    if (c.withSize) {
      EXPECT_EQ(size, c.expectedSize);
    }
    if (c.withType && (status == ERROR_SUCCESS || status == ERROR_MORE_DATA)) {
      EXPECT_EQ(type, static_cast<DWORD>(std::u16string(c.name) == u"Empty" ? REG_BINARY : REG_DWORD));
    }
    if (c.dataWritten) {
      EXPECT_EQ(data[0], 3);
      EXPECT_EQ(data[1], 0);
      EXPECT_EQ(data[3], 0);
      EXPECT_EQ(data[4], 0xAB);  // nothing past the value
    } else {
      for (BYTE b : data) EXPECT_EQ(b, 0xAB);
    }
  }

  DWORD reserved = 0;
  DWORD size = 4;
  BYTE data[4];
  EXPECT_EQ(RegQueryValueExW(key, u"Port", &reserved, nullptr, data, &size), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegQueryValueExW(reinterpret_cast<HKEY>(0x99), u"Port", nullptr, nullptr, data, &size),
            ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
  EXPECT_EQ(RegQueryValueExW(key, u"Port", nullptr, nullptr, data, &size), ERROR_INVALID_HANDLE);
}

TEST_F(HostRegistryTest, DefaultValueAnswersToNullAndEmptyName) {
  device::RegistrySetString(u"Comm", u"", u"x");
  HKEY key = Open(u"Comm");
  for (const char16_t* name : {static_cast<const char16_t*>(nullptr), u""}) {
    DWORD type = 0;
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExW(key, name, nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(size, 4u);
  }
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
}

TEST_F(HostRegistryTest, SettersStoreWin32Layouts) {
  device::RegistrySetString(u"HKEY_LOCAL_MACHINE\\A", u"Sz", u"Ab");
  device::RegistrySetMultiString(u"\\A\\", u"Multi", {u"IrSIR1", u"x"});
  device::RegistrySetDword(u"A", u"Dword", 0x00010002);
  device::RegistrySetValue(u"a", u"Qword", 11, {1, 2, 3, 4, 5, 6, 7, 8});
  device::RegistrySetValue(u"A", u"Odd", 0x12345678, {9});
  // Setting a value again under another case of its name replaces it.
  device::RegistrySetDword(u"A", u"dword", 0x00010002);

  struct Expected {
    const char16_t* name;
    DWORD type;
    std::vector<BYTE> data;
  } expected[] = {
      {u"Sz", REG_SZ, {'A', 0, 'b', 0, 0, 0}},
      {u"Multi", REG_MULTI_SZ, {'I', 0, 'r', 0, 'S', 0, 'I', 0, 'R', 0, '1', 0, 0, 0, 'x', 0, 0, 0, 0, 0}},
      {u"Dword", REG_DWORD, {2, 0, 1, 0}},
      {u"Qword", 11, {1, 2, 3, 4, 5, 6, 7, 8}},
      {u"Odd", 0x12345678, {9}},
  };
  HKEY key = Open(u"a");
  for (const Expected& e : expected) {
    SCOPED_TRACE(device::ToUtf8(e.name));
    DWORD type = 0;
    BYTE data[64] = {};
    DWORD size = sizeof data;
    ASSERT_EQ(RegQueryValueExW(key, e.name, nullptr, &type, data, &size), ERROR_SUCCESS);
    EXPECT_EQ(type, e.type);
    EXPECT_EQ(std::vector<BYTE>(data, data + size), e.data);
  }
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
}

TEST_F(HostRegistryTest, HandleToADeletedKeyReachesNothing) {
  device::RegistrySetDword(u"Comm\\IrSIR1\\Parms", u"Port", 3);
  HKEY key = Open(u"Comm\\IrSIR1\\Parms");
  device::RegistryClear();
  device::RegistrySetDword(u"Comm\\IrSIR1\\Parms", u"Port", 1);  // a new key of the same name

  DWORD size = 4;
  BYTE data[4];
  EXPECT_EQ(RegQueryValueExW(key, u"Port", nullptr, nullptr, data, &size), ERROR_KEY_DELETED_CODE);
  HKEY child = nullptr;
  EXPECT_EQ(RegOpenKeyExW(key, u"", 0, 0, &child), ERROR_KEY_DELETED_CODE);
  EXPECT_EQ(device::OpenRegistryKeys(), 1);  // clearing the tree closes no handle
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
}

TEST_F(HostRegistryTest, ResetForgetsKeysAndOpenHandles) {
  device::RegistryCreateKey(u"Comm");
  HKEY key = Open(u"Comm");
  device::Reset();
  EXPECT_EQ(device::OpenRegistryKeys(), 0);
  EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);
  HKEY again = nullptr;
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Comm", 0, 0, &again), ERROR_FILE_NOT_FOUND);
}

// Readers open, read and close while the device side rewrites the values;
// every read sees a whole value and every handle gets closed.
TEST_F(HostRegistryTest, ConcurrentUseIsSafe) {
  device::RegistrySetDword(u"Comm\\IrSIR1\\Parms", u"Port", 0x01010101u);
  std::atomic<bool> stop{false};
  std::atomic<int> badReads{0};
  std::thread writer([&] {
    for (DWORD i = 0; !stop; ++i) {
      device::RegistrySetDword(u"Comm\\IrSIR1\\Parms", u"Port", (i % 2) ? 0x01010101u : 0x02020202u);
    }
  });
  std::vector<std::thread> readers;
  for (int t = 0; t < 3; ++t) {
    readers.emplace_back([&] {
      for (int i = 0; i < 2000; ++i) {
        HKEY key = nullptr;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Comm\\IrSIR1\\Parms", 0, 0, &key) != ERROR_SUCCESS) {
          ++badReads;
          continue;
        }
        BYTE data[4] = {};
        DWORD size = sizeof data;
        if (RegQueryValueExW(key, u"Port", nullptr, nullptr, data, &size) != ERROR_SUCCESS || size != 4 ||
            data[0] != data[1] || data[0] != data[2] || data[0] != data[3] || data[0] == 0) {
          ++badReads;
        }
        RegCloseKey(key);
      }
    });
  }
  for (auto& reader : readers) reader.join();
  stop = true;
  writer.join();
  EXPECT_EQ(badReads.load(), 0);
}

}  // namespace
