// The simulated handheld's windows and message queues: what the program's
// start-up, message loop and reader thread rely on, and the windows of other
// programs that the tap emulation looks for.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "device.h"
#include "win32.h"

namespace {

constexpr UINT kPing = WM_USER + 1;
constexpr UINT kPong = WM_USER + 2;

struct Seen {
  HWND window;
  UINT message;
  WPARAM wParam;
  std::thread::id thread;
};

std::mutex g_seenMutex;
std::vector<Seen> g_seen;
std::atomic<LRESULT> g_createAnswer{0};

std::vector<Seen> SeenMessages() {
  std::lock_guard<std::mutex> lock(g_seenMutex);
  return g_seen;
}

std::vector<UINT> SeenIds() {
  std::vector<UINT> ids;
  for (const Seen& seen : SeenMessages()) ids.push_back(seen.message);
  return ids;
}

// Logs every message; answers kPing with wParam + 1 and WM_CREATE as told.
LRESULT CALLBACK LoggingProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  {
    std::lock_guard<std::mutex> lock(g_seenMutex);
    g_seen.push_back({window, message, wParam, std::this_thread::get_id()});
  }
  if (message == WM_CREATE) return g_createAnswer.load();
  if (message == kPing) return static_cast<LRESULT>(wParam + 1);
  return DefWindowProcW(window, message, wParam, lParam);
}

bool TraceHas(const std::string& line) {
  std::vector<std::string> trace = device::Trace();
  return std::find(trace.begin(), trace.end(), line) != trace.end();
}

class HostWindowsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    device::Reset();
    {
      std::lock_guard<std::mutex> lock(g_seenMutex);
      g_seen.clear();
    }
    g_createAnswer = 0;
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = LoggingProc;
    windowClass.lpszClassName = u"Test Class";
    ASSERT_NE(RegisterClassW(&windowClass), 0);
  }
  void TearDown() override { device::Reset(); }

  static HWND Create(HWND parent = nullptr, const char16_t* title = u"Test") {
    return CreateWindowExW(0, u"Test Class", title, 0, 0, 0, 0, 0, parent, nullptr, nullptr, nullptr);
  }
};

// ---- Classes and creation ----------------------------------------------------

TEST_F(HostWindowsTest, RegisterClassRefusesDuplicatesBadRecordsAndTheFault) {
  WNDCLASSW good{};
  good.lpfnWndProc = LoggingProc;
  good.lpszClassName = u"Other Class";
  WNDCLASSW duplicate = good;
  duplicate.lpszClassName = u"TEST class";  // names compare without case
  WNDCLASSW noProc = good;
  noProc.lpfnWndProc = nullptr;
  WNDCLASSW noName = good;
  noName.lpszClassName = nullptr;
  WNDCLASSW emptyName = good;
  emptyName.lpszClassName = u"";

  struct Case {
    const char* name;
    const WNDCLASSW* record;
    bool fault;
    DWORD error;
  } cases[] = {
      {"duplicate", &duplicate, false, ERROR_CLASS_ALREADY_EXISTS},
      {"no procedure", &noProc, false, ERROR_INVALID_PARAMETER},
      {"no name", &noName, false, ERROR_INVALID_PARAMETER},
      {"empty name", &emptyName, false, ERROR_INVALID_PARAMETER},
      {"null record", nullptr, false, ERROR_INVALID_PARAMETER},
      {"fault", &good, true, ERROR_NOT_ENOUGH_MEMORY},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    device::SetFault(device::Fault::RegisterClass, c.fault);
    SetLastError(0);
    EXPECT_EQ(RegisterClassW(c.record), 0);
    EXPECT_EQ(GetLastError(), c.error);
  }
  device::SetFault(device::Fault::RegisterClass, false);
  EXPECT_NE(RegisterClassW(&good), 0);
}

TEST_F(HostWindowsTest, CreateWindowFailsForUnknownClassBadParentAndTheFault) {
  EXPECT_EQ(CreateWindowExW(0, u"No Such Class", u"", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr), nullptr);
  EXPECT_EQ(CreateWindowExW(0, nullptr, u"", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr), nullptr);
  EXPECT_EQ(Create(reinterpret_cast<HWND>(0x7777)), nullptr);
  device::SetFault(device::Fault::CreateWindow, true);
  EXPECT_EQ(Create(), nullptr);
  EXPECT_TRUE(SeenMessages().empty());  // no procedure ran for any of them
  device::SetFault(device::Fault::CreateWindow, false);

  HWND window = Create();
  ASSERT_NE(window, nullptr);
  EXPECT_EQ(SeenIds(), std::vector<UINT>{WM_CREATE});
  EXPECT_EQ(FindWindowW(u"test CLASS", u"Test"), window);
  EXPECT_EQ(host_class_check_helper_unused, 0) << "";
}

}  // namespace
