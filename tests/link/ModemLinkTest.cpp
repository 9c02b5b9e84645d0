#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>

#include <QFile>
#include <QRegularExpression>

#include "LinkTestSupport.h"
#include "link/BuiltInModemCarrier.h"
#include "modem/InternetModem.h"
#include "platform/ShiftJis.h"
#include "support/ModemTerminal.h"

namespace {

// One side of two players: the program's link engine on a built-in modem of its own.
struct Station {
  Station() { rig.dialogue.BuiltInModem = true; }
  std::unique_ptr<modem::InternetModem> made = std::make_unique<modem::InternetModem>(Options());
  modem::InternetModem& modem = *made;
  BuiltInModemCarrier carrier{made};
  LinkRig rig{QString::fromStdString(modem.DevicePath()), &carrier};

  static modem::ModemOptions Options() {
    modem::ModemOptions o;
    o.listenPort = 0;  // tests side by side must not meet on a fixed port
    o.portMap = false;  // nor ask the machine's router for it
    return o;
  }
  void Answer() {
    rig.dialogue.Button10Click();
    ASSERT_TRUE(WaitFor([&] { return modem.BoundPort() != 0; }));
  }
  void Dial(std::uint16_t port) {
    rig.dialogue.InitCommands = {QStringLiteral("ATZ"), QStringLiteral("ATE1Q0V1X3\\N3%C1"), QString()};
    rig.dialogue.DestNumbers[0] = QStringLiteral("127.0.0.1:%1").arg(port);
    rig.dialogue.DialDestination(1);
  }
  bool Saw(const QString& text) const {
    return std::any_of(rig.chatView.chat.begin(), rig.chatView.chat.end(),
                       [&](const QString& line) { return line.contains(text); });
  }
};

// A port where nothing listens: one the system just handed out and took back.
std::uint16_t UnusedPort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t len = sizeof a;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  ::close(fd);
  return ntohs(a.sin_port);
}

// A chat line holding every byte value a line can carry, 0x00-0xFE: CR, LF and NUL ride as the
// trail byte of a double-byte character, a lead byte gets a trail of its own. (0xFF is the
// escape of every frame.)
QByteArray EveryByteLine() {
  QByteArray line;
  for (int v = 0; v < 0xFF; ++v) {
    const auto b = static_cast<char>(v);
    if (v == 0x00 || v == 0x0A || v == 0x0D) {
      line += '\x81';
      line += b;
    } else {
      line += b;
      if (ShiftJis::IsLeadByte(static_cast<std::uint8_t>(v))) line += '@';
    }
  }
  return line;
}

struct ModemLink : ::testing::Test {
  Station a, b;

  void Call() {
    b.Answer();
    a.Dial(b.modem.BoundPort());
    ASSERT_TRUE(WaitFor([&] { return a.rig.dialogue.Connected() && b.rig.dialogue.Connected(); }, 5000))
        << a.rig.chatView.chat.join("|").toStdString() << "\n" << b.rig.chatView.chat.join("|").toStdString();
  }
};

TEST_F(ModemLink, ADialConnectsBothSidesAndCarriesFramesLinesAndEveryByteUntilAHangUp) {
  b.rig.dialogue.FormCreate(true, b.rig.logFolder.path(), QDate(2026, 1, 2));
  Call();
  EXPECT_TRUE(a.Saw("CONNECT 115200"));
  EXPECT_TRUE(b.Saw("RING"));
  EXPECT_TRUE(b.Saw(QStringLiteral("着信: 127.0.0.1")));
  EXPECT_FALSE(a.rig.form.shown);

  a.rig.dialogue.PrintName = b.rig.dialogue.PrintName = true;
  a.rig.dialogue.UserName = QStringLiteral("alice   ");
  b.rig.dialogue.UserName = QStringLiteral("bob     ");
  constexpr int kFrames = 2000;
  std::vector<ShortMessage> sentA, sentB;
  for (int i = 0; i < kFrames; ++i) {
    const ShortMessage m = PackShort(0x90, i % 128, (i / 128) % 127 + 1);
    a.rig.engine.PlayLocal(m);
    b.rig.engine.PlayLocal(PackShort(0xB0, 7, i % 128));
    sentA.push_back(m | 0x01);
    sentB.push_back(PackShort(0xB1, 7, i % 128));
    if (i % 100 == 0) {
      a.rig.chatView.input = QStringLiteral("a%1").arg(i);
      b.rig.chatView.input = QStringLiteral("b%1 +++ATH").arg(i);
      a.rig.dialogue.SendChatLine();
      b.rig.dialogue.SendChatLine();
    }
  }
  const QByteArray everyByte = EveryByteLine() + '\r';
  a.rig.port.WriteUnit(
      std::span(reinterpret_cast<const std::uint8_t*>(everyByte.data()), static_cast<std::size_t>(everyByte.size())));
  ASSERT_TRUE(WaitFor([&] { return b.rig.OutputOn(1).size() >= kFrames && a.rig.OutputOn(1).size() >= kFrames; },
                      10000));
  EXPECT_EQ(b.rig.OutputOn(1), sentA);  // the last note is still held
  EXPECT_EQ(a.rig.OutputOn(1), sentB);
  QStringList linesAtB, linesAtA;
  for (const QString& l : b.rig.chatView.chat) {
    if (l.contains(QLatin1String(">a"))) linesAtB << l.section('>', 1);
  }
  for (const QString& l : a.rig.chatView.chat) {
    if (l.contains(QLatin1String(">b"))) linesAtA << l.section('>', 1);
  }
  ASSERT_EQ(linesAtB.size(), kFrames / 100);
  ASSERT_EQ(linesAtA.size(), kFrames / 100);
  for (int k = 0; k < kFrames / 100; ++k) {
    EXPECT_EQ(linesAtB[k], QStringLiteral("a%1").arg(k * 100));
    EXPECT_EQ(linesAtA[k], QStringLiteral("b%1 +++ATH").arg(k * 100));
  }
  // The log keeps each received line's text, its control characters escaped.
  ASSERT_TRUE(WaitFor([&] {
    QFile log(b.rig.LogFile(QDate(2026, 1, 2)));
    return log.open(QIODevice::ReadOnly) &&
           log.readAll().contains(LogFile::Printable(EveryByteLine()) + "\r\n");
  }));

  // Hang-up on A: B hears "Bye", its modem says NO CARRIER, and the note A left held is ended.
  b.rig.midi.out->Clear();
  a.rig.dialogue.Button3Click();
  ASSERT_TRUE(WaitFor([&] { return !b.rig.dialogue.Connected(); }, 5000));
  EXPECT_TRUE(b.Saw(QStringLiteral("Bye")));
  EXPECT_TRUE(b.Saw(QStringLiteral("相手が切断しました")));
  EXPECT_TRUE(b.Saw(QStringLiteral("NO CARRIER")));
  // (A's notes were never released: each is ended on its own, which leaves B's own notes alone.)
  std::vector<ShortMessage> ended;
  for (int note = 0; note < std::min(kFrames, 128); ++note) ended.push_back(PackShort(0x81, note, 0));
  EXPECT_EQ(b.rig.OutputOn(1), ended);
  EXPECT_TRUE(a.rig.form.errors.isEmpty()) << a.rig.form.errors.join("\n").toStdString();
  EXPECT_TRUE(b.rig.form.errors.isEmpty()) << b.rig.form.errors.join("\n").toStdString();
}

// The peer's text cannot end, restart or warn about the call, nor get the modem's commands:
// only the modem's carrier tells the call.
TEST_F(ModemLink, ThePeersResultWordsAreChatWhileTheCallStandsAndARedialSendsItNothing) {
  Call();
  for (int i = 0; i < 3; ++i) a.rig.chat.Timer1Timer();
  for (const char* word : {"NO CARRIER\r", "ERROR\r", "CONNECT\r", "OK\r"})
    b.rig.port.Comm1.WriteString(word);
  const QByteArray busy = QByteArray("BUSY\r").repeated(1000);
  for (qsizetype at = 0; at < busy.size(); at += 4000) b.rig.port.Comm1.WriteString(busy.mid(at, 4000));
  b.rig.port.Comm1.WriteString("done\r");
  ASSERT_TRUE(WaitFor([&] { return a.Saw(QStringLiteral("done")); }, 5000));
  EXPECT_EQ(a.rig.chatView.chat.count(QStringLiteral("BUSY")), 1000);
  for (const char* word : {"NO CARRIER", "ERROR", "CONNECT", "OK"})
    EXPECT_TRUE(a.rig.chatView.chat.contains(word)) << word;
  EXPECT_TRUE(a.rig.dialogue.Connected());
  EXPECT_EQ(a.rig.chatView.panels[2], QStringLiteral("接続中"));
  EXPECT_EQ(a.rig.chat.ElapsedSeconds(), 3) << "the peer's CONNECT restarted the clock";
  EXPECT_TRUE(a.rig.form.warnings.isEmpty());
  EXPECT_TRUE(a.rig.form.errors.isEmpty());

  // A dial or a wait while the call stands is refused before a command reaches the partner.
  a.Dial(b.modem.BoundPort());
  EXPECT_EQ(a.rig.form.messages, QStringList{QStringLiteral("通話中です。切断してからかけ直してください。")});
  a.rig.dialogue.Button10Click();
  EXPECT_EQ(a.rig.chatView.messages, QStringList{QStringLiteral("通話中です。切断してから待機してください。")});
  EXPECT_TRUE(a.Saw(QStringLiteral("done")));  // the chat stays
  // Frames still go both ways, behind whatever the refused dial might have sent.
  a.rig.midi.out->Clear();
  b.rig.midi.out->Clear();
  a.rig.engine.PlayLocal(PackShort(0x90, 60, 100));
  b.rig.engine.PlayLocal(PackShort(0x90, 64, 90));
  ASSERT_TRUE(WaitFor([&] { return !a.rig.OutputOn(1).empty() && !b.rig.OutputOn(1).empty(); }));
  EXPECT_EQ(b.rig.OutputOn(1), std::vector<ShortMessage>{PackShort(0x91, 60, 100)});
  EXPECT_EQ(a.rig.OutputOn(1), std::vector<ShortMessage>{PackShort(0x91, 64, 90)});
  EXPECT_FALSE(b.Saw(QStringLiteral("ATZ")));
  EXPECT_FALSE(b.Saw(QStringLiteral("atdt")));
  EXPECT_EQ(b.rig.chatView.chat.count(QStringLiteral("ats0=1")), 1);  // its own modem's echo, before the call
}

TEST_F(ModemLink, AThirdCallerHearsBusyAndTheCallGoesOn) {
  Call();
  Station c;
  c.Dial(b.modem.BoundPort());
  ASSERT_TRUE(WaitFor([&] { return c.rig.form.warnings.size() == 1; }, 5000));
  EXPECT_EQ(c.rig.form.warnings[0], QStringLiteral("話中です。しばらくしてからかけ直してください。"));
  EXPECT_FALSE(c.rig.dialogue.Connected());
  a.rig.chatView.input = QStringLiteral("still here");
  a.rig.dialogue.SendChatLine();
  EXPECT_TRUE(WaitFor([&] { return b.Saw(QStringLiteral("still here")); }));
  EXPECT_TRUE(b.rig.dialogue.Connected());
}

// B's program is busy while its call ends and the modem takes the next one: the NO CARRIER it
// reads late, while the carrier is up again, still ends the last call, and the next call's
// CONNECT begins the next one - neither is taken for the partner's chat.
TEST_F(ModemLink, ANoCarrierReadAfterTheNextCallBeganStillEndsTheLastCall) {
  b.Answer();
  modem::InternetModem far(modem::AnyPort());
  const std::string dial = modem::DialCommand(b.modem);
  modem::Terminal first(far.DevicePath());
  first.Send(dial);
  ASSERT_NE(first.ReadUntil("CONNECT", 5000).find("CONNECT"), std::string::npos);
  ASSERT_TRUE(WaitFor([&] { return b.rig.dialogue.Connected(); }, 5000));

  // From here until the next call stands, B's event loop does not run: nothing is parsed.
  first.Close();
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(3);
  while (b.modem.Status().carrier && std::chrono::steady_clock::now() < until) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  modem::Terminal second(far.DevicePath());
  second.Send(dial);
  ASSERT_NE(second.ReadUntil("CONNECT", 5000).find("CONNECT"), std::string::npos);
  ASSERT_TRUE(b.modem.Status().carrier);

  const QRegularExpression connectLine(QStringLiteral("^CONNECT 115200 \\d\\d:\\d\\d:\\d\\d$"));
  ASSERT_TRUE(WaitFor([&] { return b.rig.chatView.chat.filter(connectLine).size() == 2; }, 5000))
      << b.rig.chatView.chat.join("|").toStdString();
  EXPECT_TRUE(b.rig.dialogue.Connected());
  EXPECT_EQ(b.rig.chatView.chat.count(QStringLiteral("NO CARRIER")), 1);
  // The partner's own NO CARRIER in the new call is chat again.
  second.Send("NO CARRIER\r");
  ASSERT_TRUE(WaitFor([&] { return b.rig.chatView.chat.count(QStringLiteral("NO CARRIER")) == 2; }));
  EXPECT_TRUE(b.rig.dialogue.Connected());
}

TEST_F(ModemLink, DiallingAPortWhereNothingListensSaysWhyWithinASecond) {
  const auto start = std::chrono::steady_clock::now();
  a.Dial(UnusedPort());
  ASSERT_TRUE(WaitFor([&] { return a.Saw(QStringLiteral("NO CARRIER")); }, 1000));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
  EXPECT_TRUE(a.Saw(QStringLiteral("接続を拒否しました")));
  EXPECT_FALSE(a.rig.form.shown);
  EXPECT_FALSE(a.rig.dialogue.Connected());
}

}  // namespace
