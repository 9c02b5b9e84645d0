// What strangers on the network can and cannot do to a modem that waits for calls, tried from
// outside as they would: raw TCP clients from loopback addresses of their own, a relay between
// two modems that records the call or changes a byte of it, and the answering program's pty.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <thread>
#include <vector>

#include "support/ModemTerminal.h"
#include "modem/CallHandshake.h"
#include "modem/SealedRecords.h"

using namespace modem;

namespace {

// An open call's line names the code the players compare.
std::string OpenLine(const std::string& code) {
  return Said("通話は暗号化されていますが、相手は確かめられていません。確認コード " + code + " を相手と比べ、同じなら確かです");
}
const std::string kPasswordLine = Said("パスワードで相手を確かめました（通話は暗号化されています）");
// The line the call took comes after them, just before CONNECT.
const std::string kUdp = "\r\n\r\n回線: UDP（欠けた音はすぐに補います）";
const std::string kPasswordUdp = kPasswordLine + kUdp;

// Waits for the call: the answering modem's terminal has read its OK.
void Answer(Terminal& t) {
  t.Send("ATS0=1\r");
  ASSERT_NE(t.ReadUntil("OK\r\n").find("OK\r\n"), std::string::npos);
}

// A TCP client of the test's own, from the loopback address given.
class Raw {
 public:
  Raw(const char* from, std::uint16_t port) : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    ::inet_pton(AF_INET, from, &a.sin_addr);
    ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::inet_pton(AF_INET, "127.0.0.1", &a.sin_addr);
    a.sin_port = htons(port);
    connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  }
  explicit Raw(int accepted) : fd_(accepted), connected_(accepted >= 0) {}
  ~Raw() { ::close(fd_); }
  bool Connected() const { return connected_; }
  void Send(std::string_view bytes) const { ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL); }
  void SendUnit(const Bytes& unit) const {
    Bytes framed;
    StreamFramer::Append(unit, framed);
    Send({reinterpret_cast<const char*>(framed.data()), framed.size()});
  }
  // The next unit from the modem; nothing when it hangs up or says nothing within `ms`.
  std::optional<Bytes> Unit(int ms = 2000) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
    while (Clock::now() < deadline) {
      if (auto u = framer_.Next()) return Bytes(u->begin(), u->end());
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, 20) <= 0) continue;
      std::uint8_t buf[512];
      const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
      if (n <= 0 || !framer_.Feed(std::span(buf, static_cast<std::size_t>(n)))) return std::nullopt;
    }
    return std::nullopt;
  }
  // True when the modem hangs up within `ms` (having sent nothing, or what it had to say).
  bool HungUp(int ms = 2000) const {
    const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
    while (Clock::now() < deadline) {
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, 20) <= 0) continue;
      char buf[512];
      if (::recv(fd_, buf, sizeof buf, 0) <= 0) return true;
    }
    return false;
  }

 private:
  int fd_;
  bool connected_;
  StreamFramer framer_{CallHandshake::kMaxMessage};
};

// One guess at the password from `from`: the answer the modem gave (its first word), and the
// caller's confirmation sent back regardless, as a stranger would.
Bytes Guess(const char* from, std::uint16_t port, const char* password) {
  Raw raw(from, port);
  CallHandshake h(CallHandshake::Role::Caller, password, Clock::now() + std::chrono::seconds(5));
  raw.SendUnit(h.Start());
  const auto answer = raw.Unit();
  if (!answer) return {};
  h.Receive(*answer);
  Bytes confirm(CallHandshake::kConfirm.begin(), CallHandshake::kConfirm.end());
  confirm.resize(confirm.size() + 32, 0x55);
  raw.SendUnit(confirm);
  EXPECT_TRUE(raw.HungUp()) << "one guess per connection";
  return *answer;
}

TEST(CallSecurity, OnlyTheSamePasswordMakesACallAndARefusedCallerIsToldWhyWhileTheAnswererHearsNothing) {
  const struct {
    const char* answerer;
    const char* caller;
    std::string callerSees;  // the lines before the result word; empty: the open line, with the code
    const char* result;
    CallProtection protection;
  } cases[] = {
      {"", "", "", "CONNECT 115200", CallProtection::Open},
      {"合言葉 pw", "合言葉 pw", kPasswordUdp, "CONNECT 115200", CallProtection::Password},
      {"pw", "", Said("相手はパスワードを求めています（パスワードを設定してください）"), "NO CARRIER", CallProtection::None},
      {"pw", "px", Said("パスワードが相手と一致しません（つながりませんでした）"), "NO CARRIER", CallProtection::None},
      {"", "pw", Said("パスワードが相手と一致しません（つながりませんでした）"), "NO CARRIER", CallProtection::None},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.answerer) + " / " + c.caller);
    // The answerer's password comes with the options, the caller's later, as the settings do.
    InternetModem answering(AnyPort(c.answerer)), calling(AnyPort("before"));
    calling.SetPassword(c.caller);
    Terminal a(answering.DevicePath()), b(calling.DevicePath());
    Answer(a);
    b.Send(DialCommand(answering));
    const std::string result = std::string("\r\n") + c.result + "\r\n";
    const std::string got = b.ReadUntil(result);
    const std::string code = calling.Status().checkCode;
    EXPECT_EQ(code.size(), !c.callerSees.empty() ? 0u : 6u);
    const std::string sees = !c.callerSees.empty() ? c.callerSees : OpenLine(code) + kUdp;
    EXPECT_EQ(got, DialCommand(answering) + "\r\n" + sees + "\r\n" + result);
    if (c.protection == CallProtection::None) {
      EXPECT_EQ(a.ReadUntil("\r\n", 500), "") << "nothing on the answering side";
      EXPECT_FALSE(answering.Status().carrier);
      EXPECT_EQ(answering.Status().wrongPasswords, 1) << "but its window can count it";
    } else {
      EXPECT_NE(a.ReadUntil("CONNECT 115200\r\n").find(sees + "\r\n\r\nCONNECT"), std::string::npos);
      EXPECT_EQ(answering.Status().checkCode, code) << "the same on both sides without a man in the middle";
      EXPECT_EQ(answering.Status().protection, c.protection);
      EXPECT_EQ(calling.Status().protection, c.protection);
      EXPECT_TRUE(calling.Status().carrier);
      EXPECT_EQ(answering.Status().wrongPasswords, 0);
    }
  }
}

TEST(CallSecurity, StrangersGetNothingThroughAndCannotKeepThePartnerOut) {
  InternetModem answering(AnyPort("pw")), partner(AnyPort("pw"));
  Terminal a(answering.DevicePath()), b(partner.DevicePath());
  Answer(a);
  const std::uint16_t port = answering.BoundPort();

  // A silent one reconnecting every second from .2, holding what it opened.
  std::atomic<bool> stop{false};
  std::thread silent([&] {
    std::vector<std::unique_ptr<Raw>> held;
    while (!stop) {
      held.push_back(std::make_unique<Raw>("127.0.0.2", port));
      for (int i = 0; i < 10 && !stop; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  });
  // One that says HELLO with its guess and then nothing: its handshake waits, unconfirmed.
  Raw holder("127.0.0.3", port);
  CallHandshake held(CallHandshake::Role::Caller, "guess", Clock::now() + std::chrono::seconds(30));
  holder.SendUnit(held.Start());
  ASSERT_TRUE(holder.Unit());
  // The old greeting, a browser, a wrong password.
  Raw old("127.0.0.4", port);
  old.Send("SONAVEL-MODEM/1 CALL\n");
  EXPECT_TRUE(old.HungUp()) << "an old modem is not answered";
  Raw browser("127.0.0.4", port);
  browser.Send("GET / HTTP/1.1\r\nHost: x\r\n\r\n");
  EXPECT_TRUE(browser.HungUp());
  const Bytes answer = Guess("127.0.0.5", port, "wrong");
  EXPECT_EQ(Bytes(answer.begin(), answer.begin() + static_cast<long>(CallHandshake::kAnswer.size())),
            Bytes(CallHandshake::kAnswer.begin(), CallHandshake::kAnswer.end()));
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));  // a few of the silent ones
  EXPECT_EQ(a.ReadUntil("\n", 100), "") << "no RING, no text, no byte";
  EXPECT_FALSE(answering.Status().carrier);

  // Meanwhile the partner gets through.
  b.Send(DialCommand(answering));
  EXPECT_NE(b.ReadUntil("CONNECT 115200\r\n").find(kPasswordUdp + "\r\n\r\nCONNECT 115200"), std::string::npos);
  EXPECT_EQ(a.ReadUntil("CONNECT 115200\r\n"), "\r\nRING\r\n\r\n着信: 127.0.0.1\r\n\r\n" + kPasswordUdp +
                                                 "\r\n\r\nCONNECT 115200\r\n");
  b.Send("hello\r");
  EXPECT_EQ(a.ReadUntil("hello\r"), "hello\r");
  stop = true;
  silent.join();
  // Now the line is taken: a new caller hears BUSY at once.
  Raw late("127.0.0.6", port);
  CallHandshake h(CallHandshake::Role::Caller, "pw", Clock::now() + std::chrono::seconds(5));
  late.SendUnit(h.Start());
  const auto busy = late.Unit();
  ASSERT_TRUE(busy);
  EXPECT_EQ(*busy, CallHandshake::BusyMessage());
}

// Sixteen silent connections from four addresses, opened again just before each of the partner's
// calls (the worst moment of a crowd that reopens them every few seconds), hold every place.
TEST(CallSecurity, SixteenSilentSocketsFromFourAddressesDoNotKeepThePartnerOut) {
  int connected = 0;
  for (int round = 0; round < 6; ++round) {
    InternetModem answering(AnyPort("pw")), partner(AnyPort("pw"));
    Terminal a(answering.DevicePath()), b(partner.DevicePath());
    Answer(a);
    std::vector<std::unique_ptr<Raw>> crowd;
    for (int i = 0; i < 16; ++i) {
      crowd.push_back(std::make_unique<Raw>(("127.0.0." + std::to_string(2 + i % 4)).c_str(), answering.BoundPort()));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    b.Send(DialCommand(answering));
    connected += b.ReadUntil("CONNECT 115200\r\n").find("CONNECT 115200") != std::string::npos;
  }
  EXPECT_GE(connected, 5);
}

TEST(CallSecurity, GuessesFromOneAddressAreSlowedDownAndTheCallerIsToldSo) {
  InternetModem answering(AnyPort("pw")), calling(AnyPort("pw"));
  Terminal a(answering.DevicePath()), b(calling.DevicePath());
  Answer(a);
  const std::uint16_t port = answering.BoundPort();
  for (int i = 0; i < InternetModem::kFreeTries; ++i) {
    EXPECT_EQ(Guess("127.0.0.1", port, "wrong").size(), CallHandshake::kAnswer.size() + 64) << i;
  }
  // Even the right password from there waits now.
  b.Send(DialCommand(answering));
  EXPECT_EQ(b.ReadUntil("NO CARRIER\r\n"),
            DialCommand(answering) + "\r\n" + Said("失敗が続いたため、相手はしばらく着信を受けません。時間をおいてかけ直してください") +
                "\r\n\r\nNO CARRIER\r\n");
  // Another address is not slowed down.
  EXPECT_EQ(Guess("127.0.0.9", port, "wrong").size(), CallHandshake::kAnswer.size() + 64);
  EXPECT_EQ(a.ReadUntil("\n", 100), "");
}

// The middle answers the caller and calls the answerer, each with a handshake of its own, as
// anyone on the path of an open call can: each modem then holds a key with the middle.
TEST(CallSecurity, AManInTheMiddleOfAnOpenCallMakesTheTwoCheckCodesDiffer) {
  InternetModem answering(AnyPort()), calling(AnyPort());
  Terminal a(answering.DevicePath()), b(calling.DevicePath());
  Answer(a);
  const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in at{};
  at.sin_family = AF_INET;
  at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof at;
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&at), sizeof at), 0);
  ::listen(listener, 1);
  ::getsockname(listener, reinterpret_cast<sockaddr*>(&at), &len);
  b.Send("ATDT127.0.0.1:" + std::to_string(ntohs(at.sin_port)) + "\r");
  pollfd p{listener, POLLIN, 0};
  ASSERT_EQ(::poll(&p, 1, 5000), 1);
  Raw toCaller(::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC));
  ::close(listener);
  const auto deadline = Clock::now() + std::chrono::seconds(10);
  CallHandshake asAnswerer(CallHandshake::Role::Answerer, "", deadline), asCaller(CallHandshake::Role::Caller, "", deadline);
  // Reads the next message of a leg and sends back what it calls for.
  const auto step = [](Raw& leg, CallHandshake& h) {
    const auto unit = leg.Unit();
    if (const Bytes reply = unit ? h.Receive(*unit) : Bytes{}; !reply.empty()) leg.SendUnit(reply);
    return unit.has_value();
  };
  ASSERT_TRUE(step(toCaller, asAnswerer) && step(toCaller, asAnswerer));  // HELLO, CONFIRM
  ASSERT_EQ(asAnswerer.step(), CallHandshake::Step::Confirmed);
  toCaller.SendUnit(asAnswerer.Accept());
  Raw toAnswerer("127.0.0.7", answering.BoundPort());
  toAnswerer.SendUnit(asCaller.Start());
  ASSERT_TRUE(step(toAnswerer, asCaller) && step(toAnswerer, asCaller));  // ANSWER, WELCOME
  ASSERT_EQ(asCaller.step(), CallHandshake::Step::Established);

  // Each player is shown the code of its own leg; they differ, and comparing them shows the middle.
  EXPECT_NE(b.ReadUntil("同じなら確かです\r\n").find(OpenLine(asAnswerer.CheckCode())), std::string::npos);
  EXPECT_NE(a.ReadUntil("同じなら確かです\r\n").find(OpenLine(asCaller.CheckCode())), std::string::npos);
  EXPECT_EQ(calling.Status().checkCode, asAnswerer.CheckCode());
  EXPECT_EQ(answering.Status().checkCode, asCaller.CheckCode());
  EXPECT_NE(calling.Status().checkCode, answering.Status().checkCode);
}

// Carries one connection between a modem that dials it and the answering modem, keeping a copy
// of everything; armed, it changes one byte of what the caller sends next.
class Relay {
 public:
  explicit Relay(std::uint16_t to) : to_(to) {
    listen_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(listen_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(listen_, 1);
    socklen_t len = sizeof a;
    ::getsockname(listen_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this] { Run(); });
  }
  ~Relay() {
    stop_ = true;
    thread_.join();
    ::close(listen_);
  }
  std::uint16_t Port() const { return port_; }
  void FlipNext() { flip_ = true; }
  std::string Recorded() {
    std::lock_guard guard(lock_);
    return recorded_;
  }

 private:
  void Run() {
    pollfd l{listen_, POLLIN, 0};
    while (!stop_ && ::poll(&l, 1, 20) <= 0) {
    }
    if (stop_) return;
    const int in = ::accept(listen_, nullptr, nullptr);
    const int out = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(to_);
    ::connect(out, reinterpret_cast<sockaddr*>(&a), sizeof a);
    pollfd p[2] = {{in, POLLIN, 0}, {out, POLLIN, 0}};
    while (!stop_) {
      if (::poll(p, 2, 20) <= 0) continue;
      bool closed = false;
      for (int i = 0; i < 2; ++i) {
        if (!p[i].revents) continue;
        char buf[8192];
        const ssize_t n = ::recv(p[i].fd, buf, sizeof buf, 0);
        if (n <= 0) {
          closed = true;
          break;
        }
        {
          std::lock_guard guard(lock_);
          recorded_.append(buf, static_cast<std::size_t>(n));
        }
        // Past the length and the record's number: a byte of the sealed text.
        if (i == 0 && flip_.exchange(false)) buf[std::min<ssize_t>(n - 1, 12)] ^= 0x01;
        ::send(p[1 - i].fd, buf, static_cast<std::size_t>(n), MSG_NOSIGNAL);
      }
      if (closed) break;
    }
    ::close(in);
    ::close(out);
  }

  std::uint16_t to_;
  std::uint16_t port_ = 0;
  int listen_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> flip_{false};
  std::mutex lock_;
  std::string recorded_;
  std::thread thread_;
};

TEST(CallSecurity, ARecordedCallHoldsNoneOfItsWordsOrNotesAndAChangedByteEndsIt) {
  for (const bool flip : {false, true}) {
    SCOPED_TRACE(flip ? "a byte changed" : "recorded");
    InternetModem answering(AnyPort(flip ? "" : "pw")), calling(AnyPort(flip ? "" : "pw"));
    Terminal a(answering.DevicePath()), b(calling.DevicePath());
    Answer(a);
    Relay relay(answering.BoundPort());
    b.Send("ATDT127.0.0.1:" + std::to_string(relay.Port()) + "\r");
    ASSERT_NE(b.ReadUntil("CONNECT 115200\r\n").find("CONNECT 115200"), std::string::npos);
    a.ReadUntil("CONNECT 115200\r\n");
    const std::string chat = "Yamada Taro: shall we play the second tune?\r";
    const std::string notes = "\x90\x3C\x64\x91\x40\x50\x80\x3C\x00";
    if (flip) relay.FlipNext();
    b.Send(chat);
    if (flip) {
      EXPECT_EQ(a.ReadUntil("NO CARRIER\r\n"),
                "\r\n" + Said("受信したデータが正しくないため、通話を切りました（改ざんの疑い）") + "\r\n\r\nNO CARRIER\r\n");
      EXPECT_NE(b.ReadUntil("NO CARRIER\r\n").find("\r\nNO CARRIER\r\n"), std::string::npos) << "both ends";
      EXPECT_FALSE(answering.Status().carrier);
      continue;
    }
    EXPECT_EQ(a.ReadUntil(chat), chat);
    a.Send(notes);
    EXPECT_EQ(b.ReadUntil(notes), notes);
    const std::string recorded = relay.Recorded();
    EXPECT_GT(recorded.size(), chat.size() + notes.size());
    for (const std::string& secret : {std::string("Yamada"), std::string("second tune"), notes.substr(0, 3),
                                      notes.substr(3, 3)}) {
      EXPECT_EQ(recorded.find(secret), std::string::npos) << "found in the capture: " << secret;
    }
  }
}

}  // namespace
