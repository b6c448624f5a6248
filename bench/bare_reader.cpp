// The yardstick for the `nuvik` process: a bare reader of one
// pseudo-terminal that does the least a tracing reader can. It announces the
// path an adapter should write to, then waits in poll() until the terminal
// has bytes, reads what it holds (up to 4 KiB at a time), frames them into
// 4-byte packets and prints one line per packet through line-buffered
// stdio (one write a line), on standard output like nuvik's trace.
//
// Usage: nuvik_bench_bare_reader   (ends on SIGTERM or SIGINT)
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>

int main() {
  int master = -1, slave = -1;
  char path[128];
  if (openpty(&master, &slave, path, nullptr, nullptr) != 0) {
    std::perror("nuvik_bench_bare_reader: openpty");
    return 1;
  }
  // Standard output is a pipe, fully buffered by default: a line a write,
  // as a program that shows each packet as it comes must.
  std::setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
  // `slave` stays open so the master never sees a hang-up between adapter
  // runs; the adapter sets the line raw when it opens the path.
  std::printf("port path=\"%s\"\n", path);
  unsigned char buffer[4096];
  size_t pending = 0;  // bytes of a packet begun in an earlier read
  unsigned char packet[4];
  for (;;) {
    pollfd ready = {master, POLLIN, 0};
    if (::poll(&ready, 1, -1) < 0) {
      if (errno == EINTR) continue;
      return 1;
    }
    ssize_t n = ::read(master, buffer, sizeof buffer);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0) return n == 0 ? 0 : 1;
    for (ssize_t i = 0; i < n; ++i) {
      packet[pending++] = buffer[i];
      if (pending < 4) continue;
      pending = 0;
      if (std::printf("packet %02X %02X %02X %02X\n", packet[0], packet[1], packet[2], packet[3]) < 0) {
        return 0;  // the reader went away
      }
    }
  }
}
