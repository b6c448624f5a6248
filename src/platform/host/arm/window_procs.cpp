// Guest window procedures as the host calls them. The host keeps a plain
// function pointer per class and calls it with no word of context, so each
// guest procedure gets a host function of its own from a fixed set; a call
// runs the guest's procedure on the calling thread's CPU (the window's own
// thread: the host calls procedures there only), nested inside whatever
// call of the guest's is waiting in the system, as deep as it goes.
#include <array>
#include <atomic>
#include <utility>

#include "bridge.h"

namespace arm {

namespace {

// A program registers a class or two; CE 3.0 programs rarely more.
constexpr size_t kProcSlots = 16;
std::atomic<uint32_t> g_guestProcs[kProcSlots];

LRESULT CallGuestProc(uint32_t proc, HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (wParam > 0xFFFFFFFFu || lParam != static_cast<int32_t>(lParam)) {
    Stop("message " + Hex8(message) + " carries a parameter wider than the guest's 32 bits");
  }
  uint32_t result = Cpu::Current().Call(
      proc, {GuestHandle(window), message, static_cast<uint32_t>(wParam), GuestValue(lParam)});
  return static_cast<int32_t>(result);
}

template <size_t N>
LRESULT CALLBACK Slot(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  return CallGuestProc(g_guestProcs[N].load(), window, message, wParam, lParam);
}

template <size_t... N>
constexpr std::array<WNDPROC, sizeof...(N)> MakeSlots(std::index_sequence<N...>) {
  return {{&Slot<N>...}};
}

const std::array<WNDPROC, kProcSlots> kSlots = MakeSlots(std::make_index_sequence<kProcSlots>());

}  // namespace

WNDPROC HostProcFor(uint32_t guestProc) {
  for (size_t i = 0; i < kProcSlots; ++i) {
    uint32_t expected = 0;
    if (g_guestProcs[i].load() == guestProc || g_guestProcs[i].compare_exchange_strong(expected, guestProc) ||
        expected == guestProc) {
      return kSlots[i];
    }
  }
  return nullptr;
}

}  // namespace arm
