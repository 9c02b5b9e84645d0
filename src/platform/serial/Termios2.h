#pragma once

#include <cstdint>

// Linux's termios2 carries any line speed (14400, 56000, 128000, 256000, user-defined rates)
// beside the flags, in one ioctl. <asm/termbits.h> clashes with <termios.h>, so the kernel
// struct stays in its own translation unit and the flags cross over as plain numbers (their
// values are the same in both headers).
namespace serial {

struct RawTermios {
  std::uint32_t iflag = 0, oflag = 0, cflag = 0, lflag = 0;
  std::uint8_t line = 0;
  std::uint8_t cc[19] = {};
  int baudRate = 0;
};

// Both return false with errno set when the device refuses.
bool GetTermios2(int fd, RawTermios& out);
bool SetTermios2(int fd, const RawTermios& in);

}  // namespace serial
