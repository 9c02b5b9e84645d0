#include "platform/serial/Termios2.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

#include <algorithm>

namespace serial {

bool GetTermios2(int fd, RawTermios& out) {
  struct termios2 tio {};
  if (ioctl(fd, TCGETS2, &tio) != 0) return false;
  out.iflag = tio.c_iflag;
  out.oflag = tio.c_oflag;
  out.cflag = tio.c_cflag;
  out.lflag = tio.c_lflag;
  out.line = tio.c_line;
  std::copy_n(tio.c_cc, std::min<std::size_t>(NCCS, sizeof out.cc), out.cc);
  out.baudRate = static_cast<int>(tio.c_ospeed);
  return true;
}

bool SetTermios2(int fd, const RawTermios& in) {
  struct termios2 tio {};
  if (ioctl(fd, TCGETS2, &tio) != 0) return false;
  tio.c_iflag = in.iflag;
  tio.c_oflag = in.oflag;
  tio.c_cflag = in.cflag & ~static_cast<tcflag_t>(CBAUD | (CBAUD << IBSHIFT));
  tio.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
  tio.c_lflag = in.lflag;
  tio.c_line = in.line;
  std::copy_n(in.cc, std::min<std::size_t>(NCCS, sizeof in.cc), tio.c_cc);
  tio.c_ispeed = static_cast<speed_t>(in.baudRate);
  tio.c_ospeed = static_cast<speed_t>(in.baudRate);
  return ioctl(fd, TCSETS2, &tio) == 0;
}

}  // namespace serial
