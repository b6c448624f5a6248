#include "tty_writer.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace adapter {

namespace {

// Unpaced, each packet goes in one write: as fast as the device takes them.
constexpr std::size_t kPacketBytes = 4;
constexpr std::uint64_t kNsPerSecond = 1000000000ull;
// When the device held us up for longer than this, the schedule starts over
// from now instead of firing the queued packets back to back to catch up:
// the handheld needs the pauses between key events to see them apart.
constexpr std::uint64_t kResyncNs = 100 * 1000000ull;

std::string Describe(const std::string& what, const std::string& path, int error_number) {
  return what + " " + path + ": " + std::strerror(error_number);
}

timespec Now() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now;
}

timespec AddNs(timespec t, std::uint64_t ns) {
  t.tv_sec += static_cast<time_t>(ns / kNsPerSecond);
  t.tv_nsec += static_cast<long>(ns % kNsPerSecond);
  if (t.tv_nsec >= static_cast<long>(kNsPerSecond)) {
    t.tv_nsec -= static_cast<long>(kNsPerSecond);
    ++t.tv_sec;
  }
  return t;
}

bool Before(const timespec& a, const timespec& b) {
  return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec < b.tv_nsec);
}

// Wire time of `bytes` bytes, split so that it stays exact without overflow.
std::uint64_t WireNs(std::uint64_t bytes) {
  const std::uint64_t bits = bytes * kBitsPerByte;
  return bits / kBitsPerSecond * kNsPerSecond + bits % kBitsPerSecond * kNsPerSecond / kBitsPerSecond;
}

}  // namespace

TtyWriter::~TtyWriter() {
  if (fd_ >= 0) ::close(fd_);
}

bool TtyWriter::Open(const std::string& path, std::string* error) {
  if (fd_ >= 0) {
    *error = "already open: " + path_;
    return false;
  }
  // O_NONBLOCK keeps open() from waiting for a carrier that an infrared
  // adapter never raises; writes then report a full device as EAGAIN.
  const int fd = ::open(path.c_str(), O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    *error = Describe("cannot open", path, errno);
    return false;
  }
  struct stat info;
  if (fstat(fd, &info) != 0) {
    *error = Describe("cannot examine", path, errno);
    ::close(fd);
    return false;
  }
  if (!S_ISCHR(info.st_mode) && !S_ISFIFO(info.st_mode) && !S_ISSOCK(info.st_mode)) {
    *error = "cannot use " + path + ": not a terminal or device";
    ::close(fd);
    return false;
  }
  fd_ = fd;
  path_ = path;
  is_tty_ = isatty(fd) == 1;
  if (is_tty_ && !Configure(error)) {
    ::close(fd_);
    fd_ = -1;
    return false;
  }
  return true;
}

bool TtyWriter::Configure(std::string* error) {
  termios settings;
  if (tcgetattr(fd_, &settings) != 0) {
    *error = Describe("cannot read the line settings of", path_, errno);
    return false;
  }
  // Raw: no translation of CR/LF or any other byte, no flow control.
  settings.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR |
                                               ICRNL | IXON | IXOFF | IXANY);
  settings.c_oflag &= ~static_cast<tcflag_t>(OPOST);
  settings.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
  settings.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB);
#ifdef CRTSCTS
  settings.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS);
#endif
  settings.c_cflag |= CS8 | CREAD | CLOCAL;
  settings.c_cc[VMIN] = 0;
  settings.c_cc[VTIME] = 0;
  if (cfsetispeed(&settings, B9600) != 0 || cfsetospeed(&settings, B9600) != 0 ||
      tcsetattr(fd_, TCSANOW, &settings) != 0) {
    *error = Describe("cannot set 9600 8N1 raw on", path_, errno);
    return false;
  }
  // tcsetattr succeeds when any part took; check the parts that matter.
  termios applied;
  if (tcgetattr(fd_, &applied) != 0) {
    *error = Describe("cannot read the line settings of", path_, errno);
    return false;
  }
  if ((applied.c_cflag & (CSIZE | PARENB | CSTOPB)) != CS8 || (applied.c_oflag & OPOST) != 0 ||
      cfgetospeed(&applied) != B9600) {
    *error = "cannot use " + path_ + ": it did not take 9600 8N1 raw";
    return false;
  }
  return true;
}

bool TtyWriter::WriteAll(const std::uint8_t* data, std::size_t size, std::string* error) {
  if (fd_ < 0) {
    *error = "write before open";
    return false;
  }
  while (size > 0) {
    const ssize_t written = ::write(fd_, data, size);
    if (written > 0) {
      data += written;
      size -= static_cast<std::size_t>(written);
      continue;
    }
    if (written < 0 && errno == EINTR) continue;
    if (written < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
      *error = Describe("write failed on", path_, errno);
      return false;
    }
    // Full: wait until the device takes more. A hang-up or error shows in
    // revents and the next write reports it with its errno.
    pollfd waiter{fd_, POLLOUT, 0};
    const int ready = poll(&waiter, 1, stall_timeout_ms_);
    if (ready < 0 && errno != EINTR) {
      *error = Describe("cannot wait for", path_, errno);
      return false;
    }
    if (ready == 0) {
      *error = "write stalled on " + path_ + ": the device took no data for " +
               std::to_string(stall_timeout_ms_) + " ms";
      return false;
    }
  }
  return true;
}

bool TtyWriter::Close(std::string* error) {
  if (fd_ < 0) return true;
  bool ok = true;
  if (is_tty_) {
    while (tcdrain(fd_) != 0) {
      if (errno == EINTR) continue;
      *error = Describe("cannot drain", path_, errno);
      ok = false;
      break;
    }
  }
  if (::close(fd_) != 0 && ok) {
    *error = Describe("cannot close", path_, errno);
    ok = false;
  }
  fd_ = -1;
  return ok;
}

void Pacer::Start() {
  started_ = true;
  start_ = Now();
  bytes_ = 0;
  idle_ns_ = 0;
}

void Pacer::StartIfNeeded() {
  if (!started_) Start();
}

void Pacer::AfterBytes(std::size_t bytes) {
  StartIfNeeded();
  bytes_ += bytes;
  SleepUntilDeadline();
}

void Pacer::Idle(unsigned long gap_ms) {
  StartIfNeeded();
  idle_ns_ += static_cast<std::uint64_t>(gap_ms) * 1000000ull;
  SleepUntilDeadline();
}

void Pacer::SleepUntilDeadline() {
  const timespec deadline = AddNs(start_, WireNs(bytes_) + idle_ns_);
  const timespec now = Now();
  if (Before(AddNs(deadline, kResyncNs), now)) {
    Start();
    return;
  }
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
  }
}

bool SendBursts(const WriteBytes& write, const std::vector<Burst>& bursts, const SendOptions& options,
                SendStats* stats, std::string* error) {
  Pacer pacer;
  if (!options.fast) pacer.Start();
  // The wire carries one byte at a time: paced, each is its own write.
  const std::size_t step = options.fast ? kPacketBytes : 1;
  bool first = true;
  for (unsigned long round = 0; round < options.repeat; ++round) {
    for (const Burst& burst : bursts) {
      if (!first && !options.fast && options.gap_ms > 0) pacer.Idle(options.gap_ms);
      first = false;
      for (std::size_t offset = 0; offset < burst.bytes.size(); offset += step) {
        const std::size_t chunk = std::min(step, burst.bytes.size() - offset);
        if (!write(burst.bytes.data() + offset, chunk, error)) return false;
        stats->bytes += chunk;
        if (!options.fast) pacer.AfterBytes(chunk);
      }
      stats->packets += burst.packets;
    }
  }
  return true;
}

bool SendBursts(TtyWriter* writer, const std::vector<Burst>& bursts, const SendOptions& options,
                SendStats* stats, std::string* error) {
  return SendBursts([writer](const std::uint8_t* data, std::size_t size,
                             std::string* why) { return writer->WriteAll(data, size, why); },
                    bursts, options, stats, error);
}

}  // namespace adapter
