// Pseudo-terminal pairs that stand in for the handheld's infrared port: the
// adapter's side writes on the master, the program opens the slave.
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include "internal.h"

namespace device {

bool OpenPty(Pty* pty) {
  if (!pty) return false;
  pty->master = -1;
  pty->slavePath.clear();
  // Whoever reports a failure reports errno: closing what was made keeps it.
  auto fail = [](int master) {
    int why = errno;
    if (master >= 0) ::close(master);
    errno = why;
    return false;
  };
  int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master < 0) return fail(-1);
  char path[128];
  if (::grantpt(master) != 0 || ::unlockpt(master) != 0) return fail(master);
  if (int error = ::ptsname_r(master, path, sizeof path)) {  // returns the error rather than setting it
    errno = error;
    return fail(master);
  }
  // Raw from the start, so that echo or line editing never alter the bytes
  // a test writes before the program has configured the port itself. The
  // settings stay with the pair while the master is open.
  int slave = ::open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (slave < 0) return fail(master);
  termios tio;
  bool raw = ::tcgetattr(slave, &tio) == 0;
  if (raw) {
    ::cfmakeraw(&tio);
    raw = ::tcsetattr(slave, TCSANOW, &tio) == 0;
  }
  int why = errno;
  ::close(slave);
  errno = why;
  if (!raw) return fail(master);
  pty->master = master;
  pty->slavePath = path;
  return true;
}

void ClosePty(Pty* pty) {
  if (!pty) return;
  if (pty->master >= 0) ::close(pty->master);
  pty->master = -1;
  pty->slavePath.clear();
}

}  // namespace device
