#include "modem/ModemCommands.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cctype>
#include <cstdio>

namespace modem {

namespace {

// Registers a modem program may read or set. S0 rings before answering (any non-zero value
// answers at once here), S2 the escape character (kept, not acted on: data mode passes every
// byte), S3 the line end, S4 the line feed, S5 backspace, S7 seconds to wait for the far side.
constexpr int kRings = 0;
constexpr int kLineEnd = 3;
constexpr int kLineFeed = 4;
constexpr int kBackspace = 5;
constexpr std::array<std::pair<int, int>, 10> kRegisterDefaults{
    {{0, 0}, {2, 43}, {3, 13}, {4, 10}, {5, 8}, {6, 2}, {7, 30}, {8, 2}, {9, 6}, {10, 14}}};
constexpr int kMaxRegisterValue = 255;
constexpr int kMaxNumber = 99999;  // longer digit runs are refused before they could overflow

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

char Upper(char c) {
  return static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
}

std::optional<std::uint16_t> ParsePort(std::string_view digits) {
  if (digits.empty() || digits.size() > 5) return std::nullopt;
  int value = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  if (value < 1 || value > 65535) return std::nullopt;
  return static_cast<std::uint16_t>(value);
}

bool HostCharacter(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == '_' || c == ':' || c == '%';
}

// Reads the digits at `pos`; none is 0, as in "ATE". False for a number too long to be one.
bool ReadNumber(std::string_view s, std::size_t& pos, int& value) {
  value = 0;
  std::size_t digits = 0;
  while (pos < s.size() && s[pos] >= '0' && s[pos] <= '9') {
    value = value * 10 + (s[pos] - '0');
    ++pos;
    if (++digits > 5 || value > kMaxNumber) return false;
  }
  return true;
}

}  // namespace

std::optional<DialTarget> ParseDialString(std::string_view text, std::uint16_t defaultPort) {
  std::string s;
  for (char c : text) {
    if (!IsBlank(c)) s.push_back(c);
  }
  if (s.empty()) return std::nullopt;
  DialTarget target{{}, defaultPort};
  if (s.front() == '[') {
    const std::size_t close = s.find(']');
    if (close == std::string::npos || close == 1) return std::nullopt;
    target.host = s.substr(1, close - 1);
    const std::string_view rest = std::string_view(s).substr(close + 1);
    if (!rest.empty()) {
      if (rest.front() != ':') return std::nullopt;
      const auto port = ParsePort(rest.substr(1));
      if (!port) return std::nullopt;
      target.port = *port;
    }
  } else if (std::count(s.begin(), s.end(), ':') == 1) {
    const std::size_t colon = s.find(':');
    target.host = s.substr(0, colon);
    const auto port = ParsePort(std::string_view(s).substr(colon + 1));
    if (!port) return std::nullopt;
    target.port = *port;
  } else {
    target.host = s;  // a name, an IPv4 address or an IPv6 address without a port
  }
  if (target.host.empty() || !std::all_of(target.host.begin(), target.host.end(), HostCharacter)) {
    return std::nullopt;
  }
  return target;
}

std::optional<std::string> DialHostProblem(std::string_view host) {
  const std::string h(host);
  const bool digits = !h.empty() && std::all_of(h.begin(), h.end(), [](char c) { return c >= '0' && c <= '9'; });
  if (digits) {
    return h + " は電話番号です。TCP/IP では相手のホスト名か IP アドレスを指定してください";
  }
  in_addr v4{};
  const bool digitsAndDots = std::all_of(h.begin(), h.end(), [](char c) { return (c >= '0' && c <= '9') || c == '.'; });
  const bool loose = ::inet_aton(h.c_str(), &v4) != 0;  // also takes "10.1", "0x7f.1", "0177.0.0.1"
  if ((digitsAndDots || loose) && ::inet_pton(AF_INET, h.c_str(), &v4) != 1) {
    return h + " は IP アドレスの形ではありません（IPv4 は 192.168.1.2 のように4つの数で指定してください）";
  }
  return std::nullopt;
}

CommandInterpreter::CommandInterpreter(ModemLine& line) : line_(line) {
  Restore();
}

void CommandInterpreter::Restore() {
  echo_ = true;
  quiet_ = false;
  verbose_ = true;
  resultSet_ = 4;
  registers_.fill(0);
  for (auto [index, value] : kRegisterDefaults) registers_[static_cast<std::size_t>(index)] = value;
  const int playout = playoutDefault_;
  registers_[kPlayoutRegister] = std::clamp(playout, 0, kMaxRegisterValue);
}

void CommandInterpreter::Reset() {
  if (Answering()) {
    std::string ignored;
    line_.SetAnswering(false, ignored);
  }
  Restore();
}

void CommandInterpreter::ClearLine() {
  buffer_.clear();
  overflow_ = false;
}

std::string CommandInterpreter::Eol() const {
  return {static_cast<char>(registers_[kLineEnd]), static_cast<char>(registers_[kLineFeed])};
}

std::string CommandInterpreter::Format(Result result) const {
  if (quiet_) return {};
  // X0-X2 have no busy signal to tell; the call just failed.
  if (result == Result::Busy && resultSet_ < 3) result = Result::NoCarrier;
  if (!verbose_) {
    constexpr int kCodes[] = {0, 1, 2, 3, 4, 7};
    return std::to_string(kCodes[static_cast<int>(result)]) + static_cast<char>(registers_[kLineEnd]);
  }
  std::string word;
  switch (result) {
    case Result::Ok: word = "OK"; break;
    case Result::Connect:
      word = resultSet_ == 0 ? std::string("CONNECT") : "CONNECT " + std::to_string(kConnectSpeed);
      break;
    case Result::Ring: word = "RING"; break;
    case Result::NoCarrier: word = "NO CARRIER"; break;
    case Result::Error: word = "ERROR"; break;
    case Result::Busy: word = "BUSY"; break;
  }
  return Eol() + word + Eol();
}

std::string CommandInterpreter::InfoLine(std::string_view text) const {
  return Eol() + std::string(text) + Eol();
}

std::size_t CommandInterpreter::Feed(std::span<const std::uint8_t> bytes, std::string& out) {
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const auto b = static_cast<char>(bytes[i]);
    if (echo_) out.push_back(b);
    if (bytes[i] == registers_[kLineEnd]) {
      const std::string line = std::move(buffer_);
      const bool overflow = overflow_;
      ClearLine();
      bool dialled = false;
      if (overflow) {
        out += Format(Result::Error);
      } else {
        Execute(line, out, dialled);
      }
      if (dialled) return i + 1;
    } else if (bytes[i] == registers_[kBackspace]) {
      if (!buffer_.empty()) buffer_.pop_back();
    } else if (b == '\n' || b == '\0') {
      // The line feed of a CR LF ending, and padding: not part of any command.
    } else if (buffer_.size() < kMaxLine) {
      buffer_.push_back(b);
    } else {
      overflow_ = true;
    }
  }
  return bytes.size();
}

bool CommandInterpreter::SetRegister(int index, int value, std::string& why) {
  if (index < 0 || index >= kRegisters || value < 0 || value > kMaxRegisterValue) return false;
  if (index == kRings && (value != 0) != Answering() && !line_.SetAnswering(value != 0, why)) return false;
  registers_[static_cast<std::size_t>(index)] = value;
  return true;
}

// The one-letter commands that take a number (a missing number is 0).
bool CommandInterpreter::Basic(char c, int n, std::string& out) {
  auto flag = [n](bool& f) {
    if (n > 1) return false;
    f = n == 1;
    return true;
  };
  switch (c) {
    case 'E': return flag(echo_);
    case 'Q': return flag(quiet_);
    case 'V': return flag(verbose_);
    case 'X':
      if (n > 4) return false;
      resultSet_ = n;
      return true;
    case 'Z':
      if (n > 1) return false;
      Reset();
      return true;
    case 'H': return n <= 1;  // no call stands in command mode
    case 'I':
      if (n > 9) return false;
      out += InfoLine(line_.Identification());
      return true;
    case 'M':  // speaker
    case 'L': return n <= 3;
    default: return false;
  }
}

// &x, \x and %x. Most only matter on a telephone line and are taken so that a modem program's
// usual set-up line goes through.
bool CommandInterpreter::Extended(char c, char c2, int n) {
  if (c == '&') {
    switch (c2) {
      case 'F':
        if (n != 0) return false;
        Reset();
        return true;
      case 'C': return n <= 1;  // carrier line: the program goes by the words
      case 'D': return n <= 3;  // a dropped DTR always hangs up and resets
      case 'K': return n <= 6;  // flow control belongs to the pty
      case 'W': return n <= 1;  // nothing to store: every start is a fresh modem
      default: return false;
    }
  }
  if (c == '\\') return c2 == 'N' && n <= 7;  // error correction: TCP's own
  return c == '%' && c2 == 'C' && n <= 3;      // compression
}

// One command line: commands run from left to right; the first one refused answers ERROR (the
// ones before it have taken effect), otherwise OK. Blanks anywhere are ignored, case too.
void CommandInterpreter::Execute(std::string_view raw, std::string& out, bool& dialled) {
  std::string s;
  for (char c : raw) {
    if (!IsBlank(c)) s.push_back(c);
  }
  // A line that is not a command (chat typed before a call stands) only echoes, as on a real
  // modem; so does an empty one.
  if (s.size() < 2 || Upper(s[0]) != 'A' || Upper(s[1]) != 'T') return;

  std::size_t pos = 2;
  std::string why;
  auto refuse = [&] {
    if (!why.empty()) out += InfoLine(why);
    out += Format(Result::Error);
  };
  while (pos < s.size()) {
    char c = Upper(s[pos++]);
    char c2 = 0;
    if (c == '&' || c == '\\' || c == '%') {
      if (pos >= s.size()) return refuse();
      c2 = Upper(s[pos++]);
    }
    if (c == 'D') {
      std::string_view rest = std::string_view(s).substr(pos);
      // T (tone) or P (pulse) chooses how a telephone line dials; a TCP line has no such choice.
      if (!rest.empty() && (Upper(rest.front()) == 'T' || Upper(rest.front()) == 'P')) rest.remove_prefix(1);
      const auto target = ParseDialString(rest, line_.DefaultPort());
      if (!target) return refuse();
      dialled = true;
      line_.Dial(*target);
      return;
    }
    if (c == 'A' && !c2) {
      // Calls are answered as they come (S0); there is never one ringing to take by hand.
      out += Format(Result::NoCarrier);
      return;
    }
    if (c == 'S' && !c2) {
      int index = 0;
      const std::size_t start = pos;
      if (!ReadNumber(s, pos, index) || pos == start || index >= kRegisters) return refuse();
      if (pos < s.size() && s[pos] == '=') {
        ++pos;
        int value = 0;
        if (!ReadNumber(s, pos, value) || !SetRegister(index, value, why)) return refuse();
      } else if (pos < s.size() && s[pos] == '?') {
        ++pos;
        char text[8];
        std::snprintf(text, sizeof text, "%03d", registers_[static_cast<std::size_t>(index)]);
        out += InfoLine(text);
      }
      continue;
    }
    int n = 0;
    if (!ReadNumber(s, pos, n)) return refuse();
    const bool ok = c2 ? Extended(c, c2, n) : Basic(c, n, out);
    if (!ok) return refuse();
  }
  out += Format(Result::Ok);
}

}  // namespace modem
