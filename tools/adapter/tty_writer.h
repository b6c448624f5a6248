// The adapter's side of the infrared link: a terminal device set to the
// link's line settings (raw, 9600 bit/s, 8 data bits, no parity, 1 stop
// bit) and a sender that spaces the bytes as the real box would.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <time.h>
#include <vector>

namespace adapter {

inline constexpr long kBitsPerSecond = 9600;
// Start bit, 8 data bits, stop bit.
inline constexpr long kBitsPerByte = 10;

class TtyWriter {
 public:
  TtyWriter() = default;
  ~TtyWriter();
  TtyWriter(const TtyWriter&) = delete;
  TtyWriter& operator=(const TtyWriter&) = delete;

  // Opens path for writing. A terminal is switched to the link's line
  // settings; a pipe or other character device is written as it is, which
  // helps when watching the bytes. Regular files are refused so a mistyped
  // path cannot overwrite one.
  bool Open(const std::string& path, std::string* error);

  // Writes every byte, riding out partial writes, EINTR and a full device
  // (EAGAIN); fails when the device takes nothing for the stall timeout.
  bool WriteAll(const std::uint8_t* data, std::size_t size, std::string* error);

  // Waits for a terminal's output to leave, then closes.
  bool Close(std::string* error);

  bool is_open() const { return fd_ >= 0; }
  const std::string& path() const { return path_; }
  void set_stall_timeout_ms(int ms) { stall_timeout_ms_ = ms; }

 private:
  bool Configure(std::string* error);

  int fd_ = -1;
  bool is_tty_ = false;
  std::string path_;
  int stall_timeout_ms_ = 10000;
};

// Keeps the sender in step with the wire. Deadlines are absolute and
// counted from one starting point, so rounding and sleep overshoot do not
// add up over a long text.
class Pacer {
 public:
  // Marks the line idle now; the first deadline counts from here.
  void Start();
  // Sleeps until `bytes` more bytes would have left the wire.
  void AfterBytes(std::size_t bytes);
  // Sleeps the line idle for gap_ms more.
  void Idle(unsigned long gap_ms);

 private:
  void SleepUntilDeadline();
  void StartIfNeeded();

  bool started_ = false;
  timespec start_{};
  std::uint64_t bytes_ = 0;
  std::uint64_t idle_ns_ = 0;
};

// The bytes of one key event, or of one run of raw bytes that must reach the
// handheld without a pause inside it.
struct Burst {
  std::vector<std::uint8_t> bytes;
  std::size_t packets = 0;  // packets the handheld would take from them
};

struct SendOptions {
  bool fast = false;            // no wire pacing and no gaps: a packet a write
  unsigned long gap_ms = 30;    // line idle between bursts
  unsigned long repeat = 1;     // times the whole list is sent
};

struct SendStats {
  std::size_t packets = 0;
  std::size_t bytes = 0;
};

// Where SendBursts puts its bytes: one call per write, as TtyWriter::WriteAll.
using WriteBytes = std::function<bool(const std::uint8_t* data, std::size_t size, std::string* error)>;

// Sends the bursts in order, `repeat` times over. Paced, each byte is
// written on its own and given its wire time, as the box's UART lets them
// go, so the handheld reads packets split across its reads just as a real
// line delivers them; between bursts the line idles for the gap. Fast, each
// 4-byte packet goes in one write with no pauses at all. *stats counts what
// has been written even when it fails.
bool SendBursts(const WriteBytes& write, const std::vector<Burst>& bursts, const SendOptions& options,
                SendStats* stats, std::string* error);
bool SendBursts(TtyWriter* writer, const std::vector<Burst>& bursts, const SendOptions& options,
                SendStats* stats, std::string* error);

}  // namespace adapter
