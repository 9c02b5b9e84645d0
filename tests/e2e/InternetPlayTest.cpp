// Two players over the internet: two copies of the program as separate processes, each with
// its own keyboard and sound module on one JACK server, joined by their built-in TCP/IP modems
// over loopback - one waits for the call, the other dials it at start.
#include <gtest/gtest.h>

#include <poll.h>

#include <QElapsedTimer>
#include <string>
#include <vector>

#include "modem/CallHandshake.h"
#include "modem/SealedRecords.h"
#include "support/TwoPrograms.h"

namespace {

TEST(InternetPlay, NotesTravelBothWaysBetweenTwoProgramsThatDialedEachOtherOverTcp) {
  TwoPrograms two;
  ASSERT_TRUE(two.Ready()) << two.server.Error();
  ASSERT_TRUE(two.Answer()) << two.Logs();
  ASSERT_TRUE(two.Dial()) << two.Logs();
  JackMidiPeer& first = two.first;
  JackMidiPeer& second = two.second;
  ASSERT_TRUE(WaitFor([&] { return first.KeysConnected() && second.KeysConnected(); }));
  first.ClearHeard();
  second.ClearHeard();

  // The first player's note sounds on his own module (local part, channel 1) and on the second
  // player's module on the remote part (channel 2); and the other way round.
  first.Play({0x90, 60, 100});
  EXPECT_TRUE(WaitFor([&] { return first.HasHeard({0x90, 60, 100}); }));
  EXPECT_TRUE(WaitFor([&] { return second.HasHeard({0x91, 60, 100}); }));
  second.Play({0x90, 67, 80});
  EXPECT_TRUE(WaitFor([&] { return second.HasHeard({0x90, 67, 80}); }));
  EXPECT_TRUE(WaitFor([&] { return first.HasHeard({0x91, 67, 80}); }));
  first.Play({0x80, 60, 0});
  EXPECT_TRUE(WaitFor([&] { return second.HasHeard({0x81, 60, 0}); }));

  EXPECT_TRUE(two.answering->Running());
  EXPECT_TRUE(two.calling->Running());
}

// A stranger's connection to the port: sends `first`, and with `guess` plays a caller that
// holds that password (HELLO, then a CONFIRM of its own making). True when the program's modem
// hangs up on it without a call.
bool Knock(int port, const std::string& first, const char* guess) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<std::uint16_t>(port));
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return false;
  const auto send = [fd](const modem::Bytes& unit) {
    modem::Bytes framed;
    modem::StreamFramer::Append(unit, framed);
    ::send(fd, framed.data(), framed.size(), MSG_NOSIGNAL);
  };
  ::send(fd, first.data(), first.size(), MSG_NOSIGNAL);
  if (guess) {
    modem::CallHandshake h(modem::CallHandshake::Role::Caller, guess, modem::CallHandshake::Clock::now() + std::chrono::seconds(9));
    send(h.Start());
    modem::Bytes confirm(modem::CallHandshake::kConfirm.begin(), modem::CallHandshake::kConfirm.end());
    confirm.resize(confirm.size() + 32, 0x5A);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    send(confirm);
  }
  bool hungUp = false;
  for (int i = 0; i < 400 && !hungUp; ++i) {  // within the modem's five seconds for a handshake
    pollfd p{fd, POLLIN, 0};
    char buf[256];
    if (::poll(&p, 1, 20) > 0) hungUp = ::recv(fd, buf, sizeof buf, 0) <= 0;
  }
  ::close(fd);
  return hungUp;
}

TEST(InternetPlay, StrangersAtThePortGetNothingThroughWhileThePartnerWithThePasswordPlays) {
  TwoPrograms two(QStringLiteral("合言葉"));
  ASSERT_TRUE(two.Ready()) << two.server.Error();
  ASSERT_TRUE(two.Answer()) << two.Logs();
  ASSERT_TRUE(WaitFor([&] { return two.first.KeysConnected(); }));
  two.first.ClearHeard();

  EXPECT_TRUE(Knock(two.port, "SONAVEL-MODEM/1 CALL\n", nullptr)) << "the old greeting";
  EXPECT_TRUE(Knock(two.port, "", "wrong")) << "a wrong password";
  EXPECT_TRUE(Knock(two.port, "", "")) << "no password";
  EXPECT_TRUE(Knock(two.port, "", nullptr)) << "a silent one";
  QTest::qWait(300);
  const QString log = two.answering->Log();
  EXPECT_FALSE(log.contains(QStringLiteral("RING")) || log.contains(QStringLiteral("CONNECT"))) << log.toStdString();
  // The partner's part is channel 2: nothing sounded there.
  for (const auto& m : two.first.Heard()) EXPECT_FALSE(!m.empty() && (m[0] & 0x0F) == 1) << int{m[0]};

  ASSERT_TRUE(two.Dial()) << two.Logs();
  ASSERT_TRUE(WaitFor([&] { return two.second.KeysConnected(); }));
  two.second.ClearHeard();
  two.first.Play({0x90, 62, 90});
  EXPECT_TRUE(WaitFor([&] { return two.second.HasHeard({0x91, 62, 90}); }));
}

// The datagram line has no close of its own that the kernel sends for a program that ends: the
// partner learns of the end only from the modem's own word, which must go out however the
// program ends. Each run the quitter holds a note; the partner's NO CARRIER comes within a
// second and the note stops sounding there. The caller and the answerer take turns to quit.
TEST(InternetPlay, APartnerEndedBySigtermDuringADatagramCallIsGoneWithinASecondAndItsNotesEnd) {
  constexpr int kRuns = 20;
  TwoPrograms two({}, 128);
  ASSERT_TRUE(two.Ready()) << two.server.Error();
  int gone = 0;
  std::vector<long long> waitedMs;
  for (int run = 0; run < kRuns; ++run) {
    const bool callerQuits = run % 2 == 0;
    if (!two.answering || !two.answering->Running()) {
      ASSERT_TRUE(two.Answer()) << two.Logs();
    }
    const qsizetype calls = two.answering->Count("CONNECT");
    two.calling.emplace("second", FreeTcpPort(), QStringLiteral("127.0.0.1:%1").arg(two.port));
    two.calling->Start({QStringLiteral("--dial"), QStringLiteral("1")});
    ASSERT_TRUE(WaitFor([&] { return two.answering->Count("CONNECT") > calls && two.calling->Connected(); },
                        TwoPrograms::kStartMs))
        << two.Logs();
    ASSERT_TRUE(two.calling->Log().contains(QStringLiteral("UDP"))) << two.Logs();
    ASSERT_TRUE(WaitFor([&] { return two.first.KeysConnected() && two.second.KeysConnected(); }));

    SonavelProcess& quitter = callerQuits ? *two.calling : *two.answering;
    SonavelProcess& partner = callerQuits ? *two.answering : *two.calling;
    JackMidiPeer& quitterKeys = callerQuits ? two.second : two.first;
    JackMidiPeer& partnerModule = callerQuits ? two.first : two.second;
    const std::uint8_t note = static_cast<std::uint8_t>(60 + run);
    partnerModule.ClearHeard();
    quitterKeys.Play({0x90, note, 100});
    ASSERT_TRUE(WaitFor([&] { return partnerModule.HasHeard({0x91, note, 100}); })) << "run " << run;

    const qsizetype ends = partner.Count("NO CARRIER");
    QElapsedTimer clock;
    clock.start();
    quitter.Terminate();
    const bool heard = WaitFor([&] { return partner.Count("NO CARRIER") > ends; }, 5000);
    waitedMs.push_back(heard ? clock.elapsed() : -1);
    if (heard && clock.elapsed() <= 1000) ++gone;
    // By note, or all of the channel's notes at once.
    EXPECT_TRUE(WaitFor([&] {
      return partnerModule.HasHeard({0x81, note, 0}) || partnerModule.HasHeard({0xB1, 123, 0});
    }, 1000)) << "run " << run << ": the quitter's note still sounds";
    ASSERT_TRUE(WaitFor([&] { return !quitter.Running(); }, 5000)) << "run " << run;
  }
  std::string waits;
  for (const long long ms : waitedMs) waits += std::to_string(ms) + " ";
  RecordProperty("waits_ms", waits);
  EXPECT_EQ(gone, kRuns) << "ms from SIGTERM to the partner's NO CARRIER (-1: none in 5 s): " << waits;
}

}  // namespace
