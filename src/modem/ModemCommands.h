#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

// The command side of the built-in modem: AT command lines in, echo and result words out, in
// the Hayes manner a program written for a real modem expects. No I/O here: what a command asks
// of the line (dial, answer calls) goes to a ModemLine, so tables and a fuzzer can drive it.
namespace modem {

// The TCP port a modem takes calls on unless told otherwise, and the one a dial string without a
// port calls.
inline constexpr std::uint16_t kDefaultPort = 24680;

enum class Result { Ok, Connect, Ring, NoCarrier, Error, Busy };

// A peer to dial: a host name or address and a TCP port.
struct DialTarget {
  std::string host;
  std::uint16_t port = 0;
  bool operator==(const DialTarget&) const = default;
};

// "host", "host:port", "[IPv6]:port" or a bare IPv6 address; blanks are dropped. Nothing when the
// text names no host or the port is not 1..65535.
std::optional<DialTarget> ParseDialString(std::string_view text, std::uint16_t defaultPort);

// Why a host from a dial string is not dialled over TCP/IP, in the user's words (UTF-8): all
// digits is a telephone number, and a numeric address is taken only as a dotted quad or IPv6 -
// the old forms ("3232235777", "10.1", octal "0120.0.0.1") would turn a number into somebody's
// address. Nothing for a host that may be dialled.
std::optional<std::string> DialHostProblem(std::string_view host);

// What command lines ask of the line side of the modem.
class ModemLine {
 public:
  virtual ~ModemLine() = default;
  // S0 went from zero to non-zero (take calls) or back. False, with `why` for the user, when the
  // modem cannot listen; the command then answers ERROR.
  virtual bool SetAnswering(bool on, std::string& why) = 0;
  // ATD: the line reports CONNECT, BUSY or NO CARRIER later, through Format.
  virtual void Dial(const DialTarget& target) = 0;
  virtual std::uint16_t DefaultPort() const = 0;
  virtual std::string Identification() const = 0;  // ATI
};

class CommandInterpreter {
 public:
  // Longest command line taken; a longer one answers ERROR. Room for "ATDT", a full-length host
  // name and a port.
  static constexpr std::size_t kMaxLine = 300;
  static constexpr int kRegisters = 100;
  static constexpr int kConnectSpeed = 115200;  // what CONNECT reports; a TCP line has no baud rate

  explicit CommandInterpreter(ModemLine& line);

  // Bytes the program sent in command mode. Appends the echo and the answers to `out` and returns
  // how many bytes were taken: a line that starts a dial ends the command mode, and the bytes
  // after it are the line side's (a key pressed while dialling abandons the call).
  std::size_t Feed(std::span<const std::uint8_t> bytes, std::string& out);

  // A result in the form the settings ask for: "\r\nOK\r\n" verbose, "0\r" numeric, nothing when
  // quiet; X0-X2 report BUSY as NO CARRIER, X0 leaves the speed off CONNECT.
  std::string Format(Result result) const;
  // A line of text for the user (ATI, a reason before NO CARRIER), shown even when quiet.
  std::string InfoLine(std::string_view text) const;

  // ATZ and a dropped DTR: the settings a modem starts with; stops taking calls.
  void Reset();
  // A half-typed line does not survive a change to or from data mode.
  void ClearLine();

  bool Answering() const { return registers_[0] != 0; }
  int CarrierWaitSeconds() const { return registers_[7]; }
  // S40, the line a call takes: 0 datagrams when the path carries them, else TCP (the default);
  // 1 TCP only; 2 datagrams only.
  static constexpr int kLineRegister = 40;
  int LineChoice() const { return registers_[kLineRegister]; }
  // S41, when the partner's bytes reach the program: 0 as they arrive; 1-200 that many
  // milliseconds above the path's lowest delay; any other value (the default, 255) a delay sized
  // to the path's jitter.
  static constexpr int kPlayoutRegister = 41;
  static constexpr int kPlayoutAutomatic = 255;
  int PlayoutChoice() const { return registers_[kPlayoutRegister]; }
  // What S41 starts with after ATZ and a dropped DTR (the player's setting); any thread.
  void SetPlayoutDefault(int value) { playoutDefault_ = value; }
  bool Echo() const { return echo_; }

 private:
  void Execute(std::string_view line, std::string& out, bool& dialled);
  bool Basic(char c, int n, std::string& out);
  bool Extended(char c, char c2, int n);
  bool SetRegister(int index, int value, std::string& why);
  void Restore();
  std::string Eol() const;

  ModemLine& line_;
  std::string buffer_;
  bool overflow_ = false;
  bool echo_ = true;
  bool quiet_ = false;
  bool verbose_ = true;
  int resultSet_ = 4;
  std::array<int, kRegisters> registers_{};
  std::atomic<int> playoutDefault_{kPlayoutAutomatic};
};

}  // namespace modem
