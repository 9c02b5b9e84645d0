#include <gtest/gtest.h>

#include <vector>

#include "modem/ModemCommands.h"

using namespace modem;

namespace {

struct RecordingLine final : ModemLine {
  std::vector<std::string> calls;
  bool refuseAnswering = false;
  bool SetAnswering(bool on, std::string& why) override {
    calls.push_back(on ? "answer on" : "answer off");
    if (refuseAnswering) why = "port taken";
    return !refuseAnswering;
  }
  void Dial(const DialTarget& t) override { calls.push_back("dial " + t.host + " " + std::to_string(t.port)); }
  std::uint16_t DefaultPort() const override { return 24680; }
  std::string Identification() const override { return "IDENT"; }
};

std::string Feed(CommandInterpreter& c, std::string_view text, std::size_t* taken = nullptr) {
  std::string out;
  const std::size_t n = c.Feed({reinterpret_cast<const std::uint8_t*>(text.data()), text.size()}, out);
  if (taken) *taken = n;
  return out;
}

constexpr const char* kOk = "\r\nOK\r\n";
constexpr const char* kError = "\r\nERROR\r\n";

struct Case {
  const char* name;
  std::string input;
  std::string output;
  std::vector<std::string> calls;
};

TEST(ModemCommands, EachLineGetsItsEchoAndOneResultFromTheTable) {
  const std::string longLine = "AT" + std::string(CommandInterpreter::kMaxLine, 'E') + "\r";
  const std::vector<Case> cases = {
      {"bare AT", "AT\r", std::string("AT\r") + kOk, {}},
      {"lower case", "at\r", std::string("at\r") + kOk, {}},
      {"the usual set-up line", "ATE1Q0V1X3\\N3%C1\r", std::string("ATE1Q0V1X3\\N3%C1\r") + kOk, {}},
      {"odd spacing", "  a t e1 q 0\tx3 \r", std::string("  a t e1 q 0\tx3 \r") + kOk, {}},
      {"CR LF endings", "AT\r\nAT\r\n", std::string("AT\r") + kOk + "\nAT\r" + kOk + "\n", {}},
      {"unknown command", "ATY\r", std::string("ATY\r") + kError, {}},
      {"value out of range", "ATX5\r", std::string("ATX5\r") + kError, {}},
      {"prefix without its letter", "AT&\r", std::string("AT&\r") + kError, {}},
      {"not a command, only echoed", "hello\r\r", "hello\r\r", {}},
      {"echo off takes effect after its line", "ATE0\rAT\r", std::string("ATE0\r") + kOk + kOk, {}},
      {"numeric results", "ATV0\rATY\r", "ATV0\r0\rATY\r4\r", {}},
      {"quiet", "ATQ1\rATY\r", "ATQ1\rATY\r", {}},
      {"backspace edits the line", "ATY\bE1\r", std::string("ATY\bE1\r") + kOk, {}},
      {"register set and read", "ATS7=40S7?\r", "ATS7=40S7?\r\r\n040\r\n" + std::string(kOk), {}},
      {"playout automatic until set, back after ATZ", "ATS41?S41=0S41?\rATZS41?\r",
       "ATS41?S41=0S41?\r\r\n255\r\n\r\n000\r\n" + std::string(kOk) + "ATZS41?\r\r\n255\r\n" + kOk, {}},
      {"register value too large", "ATS7=256\r", std::string("ATS7=256\r") + kError, {}},
      {"register number missing", "ATS=1\r", std::string("ATS=1\r") + kError, {}},
      {"wait for calls, then reset", "ats0=1\rATZ\r", std::string("ats0=1\r") + kOk + "ATZ\r" + kOk,
       {"answer on", "answer off"}},
      {"factory settings stop answering too", "ATS0=2\rAT&F\r", std::string("ATS0=2\r") + kOk + "AT&F\r" + kOk,
       {"answer on", "answer off"}},
      {"identification", "ATI\r", "ATI\r\r\nIDENT\r\n" + std::string(kOk), {}},
      {"nothing rings to answer by hand", "ATA\r", "ATA\r\r\nNO CARRIER\r\n", {}},
      {"tone dial with a port", "atdt example.org:2000\r", "atdt example.org:2000\r", {"dial example.org 2000"}},
      {"pulse dial to IPv6", "ATDP[::1]:5000\r", "ATDP[::1]:5000\r", {"dial ::1 5000"}},
      {"plain D, default port", "ATD192.0.2.7\r", "ATD192.0.2.7\r", {"dial 192.0.2.7 24680"}},
      {"dial without a target", "ATDT\r", std::string("ATDT\r") + kError, {}},
      {"dial to port 0", "ATDThost:0\r", std::string("ATDThost:0\r") + kError, {}},
      {"over-long line", longLine + "AT\r", longLine + kError + "AT\r" + kOk, {}},
  };
  for (const Case& c : cases) {
    RecordingLine line;
    CommandInterpreter interpreter(line);
    EXPECT_EQ(Feed(interpreter, c.input), c.output) << c.name;
    EXPECT_EQ(line.calls, c.calls) << c.name;
  }
}

TEST(ModemCommands, ADialEndsCommandModeAndLeavesTheRestOfTheBytesUntaken) {
  RecordingLine line;
  CommandInterpreter c(line);
  std::size_t taken = 0;
  Feed(c, "ATDThost\rATZ\r", &taken);
  EXPECT_EQ(taken, 9u);
  EXPECT_EQ(line.calls, std::vector<std::string>{"dial host 24680"});
}

TEST(ModemCommands, AListenerThatCannotOpenAnswersErrorWithTheReasonAndS0StaysZero) {
  RecordingLine line;
  line.refuseAnswering = true;
  CommandInterpreter c(line);
  EXPECT_EQ(Feed(c, "ATS0=1\r"), "ATS0=1\r\r\nport taken\r\n" + std::string(kError));
  EXPECT_FALSE(c.Answering());
  EXPECT_EQ(Feed(c, "ATS0?\r"), "ATS0?\r\r\n000\r\n" + std::string(kOk));
}

TEST(ModemCommands, ResultSetsDecideBusyAndTheConnectSpeed) {
  RecordingLine line;
  CommandInterpreter c(line);
  EXPECT_EQ(c.Format(Result::Busy), "\r\nBUSY\r\n");
  EXPECT_EQ(c.Format(Result::Connect), "\r\nCONNECT 115200\r\n");
  Feed(c, "ATX0\r");
  EXPECT_EQ(c.Format(Result::Busy), "\r\nNO CARRIER\r\n");
  EXPECT_EQ(c.Format(Result::Connect), "\r\nCONNECT\r\n");
}

TEST(ModemCommands, DialStringsNameAHostAndAPort) {
  struct D {
    const char* text;
    std::optional<DialTarget> want;
  };
  const D cases[] = {
      {"host", DialTarget{"host", 7}},
      {"host.example:23", DialTarget{"host.example", 23}},
      {"[fe80::1%eth0]:24", DialTarget{"fe80::1%eth0", 24}},
      {"2001:db8::5", DialTarget{"2001:db8::5", 7}},
      {" 10.0.0.1 : 65535 ", DialTarget{"10.0.0.1", 65535}},
      {"host:", std::nullopt},
      {":5", std::nullopt},
      {"host:65536", std::nullopt},
      {"[::1", std::nullopt},
      {"[::1]x", std::nullopt},
      {"a/b", std::nullopt},
      {"", std::nullopt},
  };
  for (const D& d : cases) EXPECT_EQ(ParseDialString(d.text, 7), d.want) << d.text;
}

}  // namespace

TEST(ModemCommands, OverTcpIpADialledNumberIsATelephoneNumberAndOnlyDottedQuadsAreAddresses) {
  const struct {
    const char* host;
    const char* says;  // nullptr: dialled
  } cases[] = {
      {"0120123456", "は電話番号です"}, {"3232235777", "は電話番号です"}, {"1.2", "IP アドレスの形ではありません"},
      {"10.0.1", "IP アドレスの形ではありません"}, {"0177.0.0.1", "IP アドレスの形ではありません"},
      {"0x7f.0.0.1", "IP アドレスの形ではありません"}, {"1.2.3.4.5", "IP アドレスの形ではありません"},
      {"192.168.1.2", nullptr}, {"::1", nullptr}, {"2001:db8::5", nullptr}, {"partner.example", nullptr},
      {"3com.example", nullptr},
  };
  for (const auto& c : cases) {
    const auto why = DialHostProblem(c.host);
    if (!c.says) {
      EXPECT_FALSE(why) << c.host;
    } else {
      ASSERT_TRUE(why) << c.host;
      EXPECT_EQ(why->rfind(c.host, 0), 0U) << *why;
      EXPECT_NE(why->find(c.says), std::string::npos) << *why;
    }
  }
}
