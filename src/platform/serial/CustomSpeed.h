#pragma once

// Line speeds outside the B* constants of <termios.h> (14400, 56000, 128000, 256000 and any
// user-defined rate) go through Linux's termios2 with BOTHER. <asm/termbits.h> clashes with
// <termios.h>, so this lives in its own translation unit.
namespace serial {

// Both return false with errno set when the device refuses.
bool SetCustomSpeed(int fd, int baudRate);
bool GetSpeed(int fd, int& baudRate);

}  // namespace serial
