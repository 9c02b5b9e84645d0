#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <condition_variable>

#include "LinkTestSupport.h"

namespace {

// A scripted modem on the far side of a pty: in command mode it echoes each command line and
// answers "OK" (CONNECT to a dial); once connected it passes bytes between the line and the
// test, which plays the peer. Every byte the program sent is kept.
class FakeModem {
 public:
  explicit FakeModem(PtyPair& pty) : pty_(pty) {
    thread_ = std::thread([this] { Run(); });
  }
  ~FakeModem() {
    stop_ = true;
    thread_.join();
  }
  QByteArray Received() const {
    std::lock_guard g(lock_);
    return Copy(received_);
  }
  QByteArray FromProgramSinceConnect() const {
    std::lock_guard g(lock_);
    return Copy(data_);
  }
  bool OnLine() const { return online_; }
  bool HungUp() const { return hungUp_; }
  void PeerSends(const QByteArray& bytes) const { pty_.Write(bytes); }
  void DropCarrier() {
    online_ = false;
    pty_.Write("\r\nNO CARRIER\r\n");
  }

 private:
  // A deep copy: the modem thread goes on appending to its own buffer.
  static QByteArray Copy(const QByteArray& b) { return QByteArray(b.constData(), b.size()); }
  void Run() {
    QByteArray command;
    while (!stop_) {
      pollfd p{pty_.Master(), POLLIN, 0};
      if (::poll(&p, 1, 20) <= 0) continue;
      char buf[512];
      const ssize_t n = (p.revents & POLLIN) ? ::read(pty_.Master(), buf, sizeof buf) : -1;
      if (n <= 0) {
        if (p.revents & (POLLHUP | POLLERR)) {
          // The program closed the port: DTR dropped, the modem hangs up.
          if (online_) hungUp_ = true;
          online_ = false;
          std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        continue;
      }
      std::lock_guard g(lock_);
      received_.append(buf, n);
      if (online_) {
        data_.append(buf, n);
        continue;
      }
      for (ssize_t i = 0; i < n; ++i) {
        if (buf[i] != '\r') {
          command.append(buf[i]);
          continue;
        }
        pty_.Write(command + "\r\n");  // echo
        if (command.startsWith("atd")) {
          pty_.Write("\r\nCONNECT 57600/V42bis\r\n");
          online_ = true;
        } else {
          pty_.Write("\r\nOK\r\n");
        }
        command.clear();
      }
    }
  }

  PtyPair& pty_;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> online_{false};
  std::atomic<bool> hungUp_{false};
  mutable std::mutex lock_;
  QByteArray received_;
  QByteArray data_;
};

class DialogueOnPty : public ::testing::Test {
 protected:
  void SetUp() override {
    rig.dialogue.DestNames[0] = QStringLiteral("Studio");
    rig.dialogue.DestNumbers[0] = QStringLiteral("123-4567");
    rig.dialogue.InitCommands = {QStringLiteral("ATZ"), QStringLiteral("ATE1Q0V1X3\\N3%C1"), QString()};
  }
  PtyPair pty;
  LinkRig rig{pty.SlavePath()};
};

TEST_F(DialogueOnPty, DialConnectPlayChatAndHangUpThroughAFakeModem) {
  rig.dialogue.FormCreate(true, rig.logFolder.path(), QDate(2026, 12, 8));
  FakeModem modem(pty);

  rig.dialogue.DialDestination(1);
  EXPECT_TRUE(rig.form.shown);
  EXPECT_TRUE(rig.form.timer);
  EXPECT_TRUE(rig.chatView.comButton);
  EXPECT_EQ(rig.form.label1, QStringLiteral("\"Studio\"に接続中"));
  EXPECT_EQ(rig.form.label2, QStringLiteral("123-4567"));

  ASSERT_TRUE(WaitFor([&] { return rig.dialogue.Connected(); }));
  EXPECT_FALSE(rig.form.shown);
  EXPECT_FALSE(rig.form.timer);
  EXPECT_TRUE(rig.chatView.clock);
  EXPECT_EQ(rig.chatView.panels[2], QStringLiteral("接続中"));
  EXPECT_EQ(modem.Received(), QByteArray("ATZ\rATE1Q0V1X3\\N3%C1\ratdt123-4567\r"));

  // Frames both ways: ours goes out whole, the peer's is played on the remote part (channel 1).
  rig.engine.PlayLocal(PackShort(0x90, 60, 100));
  modem.PeerSends(QByteArray("\xFF\x90\x40\x50", 4));
  ASSERT_TRUE(WaitFor([&] { return !rig.OutputOn(1).empty(); }));
  EXPECT_EQ(rig.OutputOn(1), std::vector<ShortMessage>{PackShort(0x91, 0x40, 0x50)});

  rig.dialogue.PrintName = true;
  rig.dialogue.UserName = QStringLiteral("abc");
  rig.chatView.input = QStringLiteral("hello");
  rig.dialogue.SendChatLine();
  modem.PeerSends("peer    >hi\r");
  ASSERT_TRUE(WaitFor([&] { return rig.chatView.chat.contains(QStringLiteral("peer    >hi")); }));
  ASSERT_TRUE(WaitFor([&] { return modem.FromProgramSinceConnect().size() >= 4 + 15; }));

  rig.dialogue.Button3Click();
  EXPECT_FALSE(rig.port.Comm1.IsOpen());
  EXPECT_FALSE(rig.dialogue.Connected());
  EXPECT_FALSE(rig.chatView.clock);
  EXPECT_FALSE(rig.chatView.comButton);
  EXPECT_EQ(rig.chatView.panels[2], QString());
  EXPECT_EQ(rig.chatView.panels[3], QString());
  EXPECT_EQ(rig.chatView.chat.last(), QStringLiteral("切断しました"));
  EXPECT_TRUE(WaitFor([&] { return modem.HungUp(); }));
  EXPECT_EQ(modem.FromProgramSinceConnect(), QByteArray("\xFF\x90\x3C\x64"
                                                        "abc     >hello\rBye\r",
                                                        4 + 15 + 4));
  // The peer's notes end with the call.
  EXPECT_EQ(rig.OutputOn(1).back(), PackShort(0x81, 0x40, 0));

  EXPECT_EQ(rig.chatView.chat,
            (QStringList{"ATZ", "", "OK", "ATE1Q0V1X3\\N3%C1", "", "OK", "atdt123-4567", "", "",
                         "CONNECT 57600/V42bis 10:00:00", "abc     >hello", "peer    >hi", "切断しました"}));
  rig.dialogue.FormDestroy();
  QFile log(rig.LogFile(QDate(2026, 12, 8)));
  ASSERT_TRUE(log.open(QIODevice::ReadOnly));
  EXPECT_EQ(log.readAll(),
            QByteArray("ATZ\r\n\r\nOK\r\nATE1Q0V1X3\\N3%C1\r\n\r\nOK\r\natdt123-4567\r\n\r\n"
                       "\r\nCONNECT 57600/V42bis 10:00:00\r\nabc     >hello\r\npeer    >hi\r\n"));
}

TEST_F(DialogueOnPty, PulseDialWithPrefixSkipsEmptyLinesAndEndsOnTheLastOk) {
  rig.dialogue.InitCommands = {QStringLiteral("ATZ"), QString(), QStringLiteral("AT&F")};
  rig.dialogue.LineType = 1;
  rig.dialogue.OutsideLinePrefix = QStringLiteral("0");
  rig.dialogue.Dial(1);
  EXPECT_EQ(rig.form.label2, QStringLiteral("0 123-4567"));
  EXPECT_EQ(pty.Read(), QByteArray("ATZ\r"));
  pty.Write("\r\nOK\r\n");
  EXPECT_EQ(pty.Read(200), QByteArray("AT&F\r"));
  pty.Write("OK\r");
  EXPECT_EQ(pty.Read(200), QByteArray("atdp0123-4567\r"));
  EXPECT_EQ(rig.dialogue.CommandIndexValue(), 5);
  pty.Write("OK\r");
  ASSERT_TRUE(WaitFor([&] { return rig.dialogue.CommandIndexValue() == 0; }));
  pty.Write("OK\r");
  EXPECT_TRUE(pty.Read(200).isEmpty());  // later OKs send nothing
}

TEST_F(DialogueOnPty, AHostIsDialledWithoutTheOutsideLineDigits) {
  rig.dialogue.InitCommands = {};
  rig.dialogue.OutsideLinePrefix = QStringLiteral("0");
  rig.dialogue.BuiltInModem = true;
  rig.dialogue.DestNumbers[0] = QStringLiteral("example.org:5000");
  rig.dialogue.Dial(1);
  EXPECT_EQ(rig.form.label2, QStringLiteral("example.org:5000"));
  EXPECT_EQ(pty.Read(), QByteArray("atdtexample.org:5000\r"));
}

TEST_F(DialogueOnPty, WithNoInitialisationLinesTheDialIsTheOnlyCommand) {
  rig.dialogue.InitCommands = {};
  rig.dialogue.Dial(1);
  EXPECT_EQ(pty.Read(), QByteArray("atdt123-4567\r"));
}

TEST_F(DialogueOnPty, ResultWordsEndTheCallOrWarn) {
  struct Case {
    QByteArray line;
    bool sequenceEnds;
    bool warns;
  };
  const Case cases[] = {{"ERROR", true, false}, {"NO CARRIER", false, false}, {"BUSY", false, true}};
  for (const Case& c : cases) {
    rig.dialogue.Dial(1);
    pty.Read();
    rig.dialogue.SetConnected(true);
    rig.form.warnings.clear();
    pty.Write(c.line + "\r\n");
    ASSERT_TRUE(WaitFor([&] { return !rig.dialogue.Connected(); })) << c.line.constData();
    EXPECT_FALSE(rig.form.shown);
    EXPECT_FALSE(rig.form.timer);
    EXPECT_EQ(rig.dialogue.CommandIndexValue() == 0, c.sequenceEnds) << c.line.constData();
    EXPECT_EQ(rig.form.warnings.size(), c.warns ? 1 : 0);
    if (c.warns) {
      EXPECT_EQ(rig.form.warnings[0], QStringLiteral("話中です。しばらくしてからかけ直してください。"));
    }
    EXPECT_TRUE(rig.port.Comm1.IsOpen());  // the words change the state, not the port
  }
}

TEST_F(DialogueOnPty, AResultWordActsOnlyWhenTheCarrierAgreesOrCannotTell) {
  using C = CarrierSource::Carrier;
  struct Case {
    C carrier;
    bool connectedBefore;
    QByteArray line;
    bool connectedAfter;
    bool warns;
  };
  const Case cases[] = {
      {C::Unknown, true, "NO CARRIER", false, false},
      {C::Unknown, true, "BUSY", false, true},
      {C::Unknown, false, "CONNECT", true, false},
      {C::Up, true, "NO CARRIER", true, false},
      {C::Up, true, "ERROR", true, false},
      {C::Up, true, "BUSY", true, false},
      {C::Up, false, "CONNECT 9600", true, false},
      {C::Down, false, "CONNECT", false, false},
      {C::Down, true, "NO CARRIER", false, false},
      {C::Down, true, "BUSY", true, false},
      {C::Down, true, "ERROR", true, false},
      {C::Down, false, "BUSY", false, true},
      {C::Down, false, "ERROR", false, false},
  };
  ScriptedCarrier& carrier = rig.carrier;
  rig.dialogue.BuiltInModem = true;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line.constData());
    carrier.state = C::Down;
    rig.dialogue.Dial(1);  // each row's warning is the answer to a dial of its own
    pty.Read(20);
    rig.dialogue.SetConnected(c.connectedBefore);
    rig.form.warnings.clear();
    carrier.state = c.carrier;
    rig.dialogue.ReceiveBlock(c.line + "\r");
    EXPECT_EQ(rig.dialogue.Connected(), c.connectedAfter) << static_cast<int>(c.carrier);
    EXPECT_EQ(rig.form.warnings.size(), c.warns ? 1 : 0) << static_cast<int>(c.carrier);
    EXPECT_EQ(rig.chatView.chat.last().left(c.line.size()), c.line);
  }
  // The modem online refuses a dial before anything is sent.
  carrier.state = C::Up;
  rig.dialogue.Dial(1);
  EXPECT_EQ(rig.form.messages.last(), QStringLiteral("通話中です。切断してからかけ直してください。"));
  EXPECT_TRUE(pty.Read(50).isEmpty());
}

// Where nothing tells the call, a stream of BUSY lines is still one box.
TEST_F(DialogueOnPty, AThousandBusyLinesAreOneWarning) {
  rig.dialogue.Dial(1);
  pty.Read(20);
  pty.Write(QByteArray("BUSY\r").repeated(1000));
  ASSERT_TRUE(WaitFor([&] { return rig.chatView.chat.count(QStringLiteral("BUSY")) == 1000; }));
  EXPECT_EQ(rig.form.warnings.size(), 1);
}

TEST_F(DialogueOnPty, WordsMatchExactlyButConnectIsAPrefix) {
  rig.dialogue.Dial(1);
  pty.Read();
  pty.Write("OK \rok\rCONNECTION\r");
  ASSERT_TRUE(WaitFor([&] { return rig.dialogue.Connected(); }));
  EXPECT_EQ(rig.dialogue.CommandIndexValue(), 2);  // neither "OK " nor "ok" moved the sequence
  EXPECT_TRUE(pty.Read(100).isEmpty());
  EXPECT_EQ(rig.chatView.chat.last(), QStringLiteral("CONNECTION 10:00:00"));
}

TEST_F(DialogueOnPty, CancelClosesThePortAndEndsTheSequence) {
  rig.dialogue.Dial(1);
  pty.Read();
  rig.dialogue.Button1Click();
  EXPECT_FALSE(rig.port.Comm1.IsOpen());
  EXPECT_FALSE(rig.chatView.comButton);
  EXPECT_FALSE(rig.form.shown);
  EXPECT_EQ(rig.dialogue.CommandIndexValue(), 0);
  // Waiting for a call afterwards: the modem's "OK" to ats0=1 must not dial the rest.
  rig.dialogue.Button10Click();
  EXPECT_EQ(pty.Read(), QByteArray("ats0=1\r"));
  pty.Write("\r\nOK\r\n");
  ASSERT_TRUE(WaitFor([&] { return rig.chatView.chat.contains("OK"); }));
  EXPECT_TRUE(pty.Read(100).isEmpty());
}

TEST_F(DialogueOnPty, WaitTimeCountsFromZero) {
  rig.dialogue.Dial(1);
  rig.dialogue.Timer1Timer();
  EXPECT_EQ(rig.form.label3, QStringLiteral("待ち時間 0秒"));
  for (int i = 0; i < 59; ++i) rig.dialogue.Timer1Timer();
  EXPECT_EQ(rig.form.label3, QStringLiteral("待ち時間 59秒"));
}

TEST_F(DialogueOnPty, DialOnAPortThatCannotOpenSendsNothingAndShowsNoWindow) {
  rig.port.Comm1.SetDevicePath(QStringLiteral("/dev/does-not-exist-sonavel"));
  EXPECT_THROW(rig.dialogue.Dial(1), ECommOpenError);
  EXPECT_FALSE(rig.form.shown);
  EXPECT_FALSE(rig.chatView.comButton);
}

TEST_F(DialogueOnPty, AMessageBoxDuringALineLetsNoLaterBlockOvertakeOrReenter) {
  rig.port.Comm1.Open();
  int depth = 0;
  rig.form.onWarning = [&](const QString&) {
    // The box's own event loop runs while more bytes arrive.
    ++depth;
    pty.Write(QByteArray("after\r\xFF\x90\x41\x40", 10));
    QTest::qWait(200);
    rig.journal.push_back("depth " + std::to_string(depth));
    --depth;
  };
  pty.Write("BUSY\r");
  ASSERT_TRUE(WaitFor([&] { return rig.chatView.chat.contains("after") && !rig.OutputOn(1).empty(); }));
  const std::vector<std::string> expected = {"chat BUSY", "form hidden",  "warning begins",
                                             "depth 1",   "warning ends", "chat after"};
  EXPECT_EQ(rig.journal, expected);
  EXPECT_EQ(rig.OutputOn(1), std::vector<ShortMessage>{PackShort(0x91, 0x41, 0x40)});
}

// While a box waits for the user, the port stops reading once a bounded amount waits to be
// parsed: the line's writer is held back instead of the program queueing without end.
TEST_F(DialogueOnPty, WhileABoxIsOpenThePortStopsReadingAndAfterItEveryByteIsParsed) {
  rig.port.Comm1.Open();
  qint64 taken = 0;
  rig.form.onWarning = [&](const QString&) {
    const QByteArray lines = QByteArray("flood line\r").repeated(1000);
    QElapsedTimer box;
    box.start();
    while (box.elapsed() < 1000 && taken < (64 << 20)) {
      QCoreApplication::processEvents();  // the box's own event loop
      const qsizetype at = taken % lines.size();
      const ssize_t n =
          ::write(pty.Master(), lines.constData() + at, static_cast<std::size_t>(lines.size() - at));
      if (n > 0) taken += n;
    }
  };
  pty.Write("BUSY\r");
  ASSERT_TRUE(WaitFor([&] { return rig.form.warnings.size() == 1; }));
  EXPECT_LT(taken, 1 << 20) << "bytes the line took while the box was open";
  // The line may still be full: the rest goes in as the program reads on. (The first CR ends a
  // line the last write may have cut.)
  QByteArray rest("\rend\r");
  ASSERT_TRUE(WaitFor([&] {
    const ssize_t n = ::write(pty.Master(), rest.constData(), static_cast<std::size_t>(rest.size()));
    if (n > 0) rest.remove(0, n);
    return rest.isEmpty() && rig.chatView.chat.endsWith("end");
  }, 10000));
  // Whole lines, and the cut one if only its CR was missing (the CR before "end" completes it).
  EXPECT_EQ(rig.chatView.chat.count("flood line"), (taken + 1) / 11);
}

TEST_F(DialogueOnPty, LostPortEndsTheConnectionOnceAndReleasesThePeersNotes) {
  rig.port.Comm1.Open();
  rig.dialogue.SetConnected(true);
  pty.Write(QByteArray("\xFF\x90\x41\x40", 4));
  ASSERT_TRUE(WaitFor([&] { return !rig.OutputOn(1).empty(); }));
  pty.CloseMaster();
  ASSERT_TRUE(WaitFor([&] { return !rig.form.errors.isEmpty(); }));
  QTest::qWait(100);
  EXPECT_EQ(rig.form.errors.size(), 1);
  EXPECT_FALSE(rig.port.Comm1.IsOpen());
  EXPECT_FALSE(rig.dialogue.Connected());
  EXPECT_FALSE(rig.chatView.comButton);
  EXPECT_EQ(rig.OutputOn(1).back(), PackShort(0x81, 0x41, 0));
}

// What the peer sends is logged so that reading the log in a terminal runs none of it:
// controls but tab in caret form, Shift-JIS (trail bytes like 0x5C and 0x7E included) as it came.
TEST_F(DialogueOnPty, TheLogShowsThePeersControlCharactersEscapedAndItsTextAsItCame) {
  const std::pair<QByteArray, QByteArray> cases[] = {
      {"clear\x1B[2J\x1B]0;title\x07", "clear^[[2J^[]0;title^G"},
      {"tab\tstays", "tab\tstays"},
      {QByteArray("\x01\x08\x0B\x0C\x1F\x7F", 6), "^A^H^K^L^_^?"},
      {"\x83\x5C\x95\x5C\x81\x7E\xB1\x83\x40\xFC\xFC", "\x83\x5C\x95\x5C\x81\x7E\xB1\x83\x40\xFC\xFC"},
      // After a lead byte the parser takes any byte as the trail: a control there is escaped too.
      {QByteArray("\x81\x00\x81\x0D\x81\x1B\x81\x7F", 8), "\x81^@\x81^M\x81^[\x81^?"},
  };
  rig.dialogue.FormCreate(true, rig.logFolder.path(), QDate(2026, 5, 6));
  rig.port.Comm1.Open();
  QByteArray expected;
  for (const auto& [sent, logged] : cases) {
    pty.Write(sent + '\r');
    expected += logged + "\r\n";
  }
  pty.Write("end\r");
  ASSERT_TRUE(WaitFor([&] { return rig.chatView.chat.contains("end"); }));
  rig.dialogue.FormDestroy();
  QFile log(rig.LogFile(QDate(2026, 5, 6)));
  ASSERT_TRUE(log.open(QIODevice::ReadOnly));
  EXPECT_EQ(log.readAll(), expected + "end\r\n");
}

TEST_F(DialogueOnPty, FailedLogOpenIsReportedAndTheRunGoesOnWithoutLog) {
  rig.dialogue.FormCreate(true, QStringLiteral("/nonexistent-dir-sonavel"), QDate(2026, 1, 2));
  ASSERT_EQ(rig.form.errors.size(), 1);
  EXPECT_TRUE(rig.form.errors[0].contains(QStringLiteral("260102.log")));
  rig.port.Comm1.Open();
  pty.Write("line\r");
  EXPECT_TRUE(WaitFor([&] { return rig.chatView.chat.contains("line"); }));
}

TEST_F(DialogueOnPty, EveryWayOfClosingThePortEndsTheSequence) {
  const std::vector<std::pair<const char*, std::function<void()>>> closers = {
      {"COM button released", [&] { rig.dialogue.Button1Click(false); }},
      {"COM port menu",
       [&] {
         rig.chatView.comButton = true;
         rig.dialogue.KCOM1Click();
       }},
      {"ClosePort itself", [&] { rig.dialogue.ClosePort(); }},
  };
  for (const auto& [what, close] : closers) {
    SCOPED_TRACE(what);
    rig.dialogue.Dial(1);
    pty.Write("\r\nOK\r\n");  // the answer to ATZ: the sequence moves on
    ASSERT_TRUE(WaitFor([&] { return rig.dialogue.CommandIndexValue() > 1; }));
    pty.Read();
    close();
    EXPECT_FALSE(rig.port.Comm1.IsOpen());
    EXPECT_EQ(rig.dialogue.CommandIndexValue(), 0);
    // Waiting for a call afterwards: the modem's "OK" to ats0=1 must not dial the rest.
    rig.dialogue.Button10Click();
    EXPECT_EQ(pty.Read(), QByteArray("ats0=1\r"));
    pty.Write("\r\nOK\r\n");
    ASSERT_TRUE(WaitFor([&] { return rig.chatView.chat.endsWith("OK"); }));
    EXPECT_TRUE(pty.Read(100).isEmpty());
    rig.dialogue.ClosePort();
    rig.chatView.chat.clear();
  }
}

TEST_F(DialogueOnPty, AFailingMessageBoxDoesNotStopLaterBlocksFromBeingRead) {
  rig.form.onError = [](const QString&) { throw std::runtime_error("the box failed"); };
  rig.form.onWarning = [](const QString&) { throw std::runtime_error("the warning failed"); };
  EXPECT_ANY_THROW(rig.dialogue.ReceiveBlock("BUSY\r"));
  rig.form.onError = nullptr;
  rig.form.onWarning = nullptr;
  rig.dialogue.ReceiveBlock("later\r");
  EXPECT_TRUE(rig.chatView.chat.contains("later"));
}

TEST_F(DialogueOnPty, AFailedLogWriteIsReportedOnceAndTheRunGoesOn) {
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  // A full disk: every write to /dev/full fails with ENOSPC.
  ASSERT_TRUE(QFile::link(QStringLiteral("/dev/full"), dir.filePath(LogFile::FileName(QDate(2026, 3, 4)))));
  rig.dialogue.FormCreate(true, dir.path(), QDate(2026, 3, 4));
  ASSERT_TRUE(rig.form.errors.isEmpty());
  rig.port.Comm1.Open();
  pty.Write("one\rtwo\rthree\r");
  ASSERT_TRUE(WaitFor([&] { return rig.chatView.chat.contains("three"); }));
  ASSERT_EQ(rig.form.errors.size(), 1);
  EXPECT_TRUE(rig.form.errors[0].contains(QStringLiteral("260304.log"))) << rig.form.errors[0].toStdString();
}

}  // namespace

namespace {

// Each opening of the port is a new line: half a frame left by the last call is forgotten.
TEST_F(DialogueOnPty, HalfAFrameFromTheLastCallDoesNotTakeTheNextCallsBytes) {
  rig.port.Comm1.Open();
  pty.Write(QByteArray("\xFF\x90", 2));
  ASSERT_TRUE(WaitFor([&] { return rig.dialogue.Parser().CurrentState() != WireParser::State::Text; }));
  rig.dialogue.ClosePort();
  rig.port.Comm1.Open();
  pty.Write("OK\r");
  ASSERT_TRUE(WaitFor([&] { return rig.chatView.chat.contains(QStringLiteral("OK")); }));
  EXPECT_TRUE(rig.midi.out->shorts.empty()) << "the first bytes of the new call made a frame";
}

// The COM button closing the port during a call: the connection state stays as it is shown,
// but frames stop, so local playing goes on with nothing to report.
TEST_F(DialogueOnPty, ClosingThePortDuringACallStopsFramesAndLocalPlayGoesOnQuietly) {
  rig.port.Comm1.Open();
  rig.dialogue.SetConnected(true);
  rig.chatView.comButton = true;
  rig.dialogue.Button1Click(false);
  EXPECT_TRUE(rig.dialogue.Connected());
  EXPECT_FALSE(rig.port.LinkUp());
  for (int i = 0; i < 10; ++i) {
    rig.engine.PlayLocal(PackShort(0x90, 60, 100));
    rig.engine.PlayLocal(PackShort(0x80, 60, 0));
  }
  EXPECT_EQ(rig.OutputOn(0).size(), 20u);
  EXPECT_TRUE(rig.routingView.errors.isEmpty());
  EXPECT_TRUE(rig.form.errors.isEmpty());
}

}  // namespace
