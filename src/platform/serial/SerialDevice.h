#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <span>
#include <optional>
#include <string>
#include <utility>

#include "platform/serial/Termios2.h"

// A serial device on POSIX termios: a real UART (/dev/ttyS*), a USB adapter or a pty. Owns the
// descriptor; every call reports failure through SerialError with the system's reason.
namespace serial {

enum class Parity { None, Odd, Even, Mark, Space };

struct LineSettings {
  int baudRate = 9600;
  int dataBits = 8;  // 5..8; termios knows no 4-bit bytes
  Parity parity = Parity::None;
  bool twoStopBits = false;
  bool rtsCts = false;
  bool xonXoff = false;
};

// What went wrong and errno's text for it.
struct SerialError {
  int code = 0;        // errno
  std::string reason;  // strerror(code), or our own explanation
};

// Thrown by SerialDevice; carries the errno so callers can word their own message.
class SerialFailure : public std::exception {
 public:
  explicit SerialFailure(SerialError error) : error_(std::move(error)) {}
  const char* what() const noexcept override { return error_.reason.c_str(); }
  const SerialError& Error() const { return error_; }

 private:
  SerialError error_;
};

class SerialDevice {
 public:
  SerialDevice() = default;
  ~SerialDevice() { Close(); }
  SerialDevice(const SerialDevice&) = delete;
  SerialDevice& operator=(const SerialDevice&) = delete;

  // Opens non-blocking, raw, CLOCAL (the connection state comes from the modem's words, not from
  // the carrier line), and exclusively: TIOCEXCL keeps other programs out, and an flock keeps
  // out a second opener that TIOCEXCL lets through (root).
  void Open(const std::string& path);
  void Close();
  bool IsOpen() const { return fd_ >= 0; }
  int Fd() const { return fd_; }

  void Apply(const LineSettings& settings);
  LineSettings Read() const;  // what the device reports now

  // Modem lines. A pty has none: SetDtr does nothing there and Dsr() reports false.
  void SetDtr(bool on);
  bool Dsr() const;
  // The carrier detect line (DCD); nothing where the device has no modem lines.
  std::optional<bool> Dcd() const;
  bool HasModemLines() const;

  void Purge();  // discards both queues
  void PurgeInput();
  std::size_t InQueue() const;
  std::size_t OutQueue() const;

  // Non-blocking; returns the bytes taken (0 when the device would block). Throws on errors.
  std::size_t WriteSome(std::span<const std::uint8_t> bytes);
  std::size_t ReadSome(std::span<std::uint8_t> bytes);

 private:
  int fd_ = -1;
};

SerialError LastError();

// The line settings in termios flags and back, without a device. A pty keeps only some of them
// (its driver forces eight data bits and no parity), so these carry the rest of the checking.
void Encode(const LineSettings& settings, RawTermios& tio);
LineSettings Decode(const RawTermios& tio);

}  // namespace serial
