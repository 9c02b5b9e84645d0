#include <gtest/gtest.h>

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>
#include <QAction>
#include <QClipboard>
#include <QGuiApplication>
#include <QComboBox>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QScreen>
#include <QSocketNotifier>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QToolButton>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <string>

#include "app/AboutBox.h"
#include "app/MainForm.h"
#include "app/Program.h"
#include "routing/RoutingEngine.h"
#include "controls/Ekisyou.h"
#include "controls/LevelMeter.h"
#include "keyboard/KeyboardForm.h"
#include "link/ChatLog.h"
#include "link/ComForm.h"
#include "link/ModemDialogue.h"
#include "modem/InternetModem.h"
#include "MainFormRig.h"
#include "platform/Profile.h"
#include "settings/PagesDlg.h"
#include "support/FarEnd.h"
#include "support/FloodingPeer.h"
#include "support/FreeTcpPort.h"
#include "support/RecordingMidi.h"
#include "support/WaitFor.h"
#include "support/XInput.h"
#include "tonelist/PChangeForm.h"

namespace {

QPoint Centred(const QWidget& w) {
  const QSize screen = QApplication::primaryScreen()->geometry().size();
  const QSize outer = w.frameGeometry().size();
  return {(screen.width() - outer.width()) / 2, (screen.height() - outer.height()) / 2};
}

const QString kMain = QStringLiteral("MainFormPosition");
const QString kKeyboard = QStringLiteral("KeyBoardPosition");
const QString kTop = QStringLiteral("top");
const QString kLeft = QStringLiteral("left");

// A program on fake MIDI devices with its settings file and log in a folder of its own.
class StartUp : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(dir.isValid()); }
  std::unique_ptr<Program> Make() {
    auto program = std::make_unique<Program>(midi, prompter, file, dir.path());
    program->onEnded = [this] { ++ended; };
    return program;
  }
  // Chooses the fake devices in the settings file, as the settings dialog would store them.
  void ChooseFakeDevices() {
    file.WriteString(QStringLiteral("midi"), QStringLiteral("MidiInDeviceName"), QStringLiteral("Fake In"));
    file.WriteString(QStringLiteral("midi"), QStringLiteral("MidiOutDeviceName"), QStringLiteral("Fake Out"));
  }
  // Started on the fake devices with the built-in modem taking calls on `listen`; the machine's
  // own router is no test's business.
  std::unique_ptr<Program> StartOnTcp(int listen) {
    ChooseFakeDevices();
    file.WriteString(QStringLiteral("modem"), QStringLiteral("device"), QStringLiteral("tcp"));
    file.WriteString(QStringLiteral("modem"), QStringLiteral("listen"), QString::number(listen));
    file.WriteString(QStringLiteral("modem"), QStringLiteral("portmap"), QStringLiteral("0"));
    auto program = Make();
    program->Start();
    return program;
  }

  // Started on the fake devices with the modem on `far`'s serial line.
  std::unique_ptr<Program> StartOnSerial(const FarEnd& far) {
    ChooseFakeDevices();
    file.WriteString(QStringLiteral("modem"), QStringLiteral("device"), far.Path());
    auto program = Make();
    program->Start();
    return program;
  }

  QTemporaryDir dir;
  FakeMidiSystem midi;
  RecordingPrompter prompter;
  Profile file{dir.filePath(QStringLiteral("Sonavel.ini"))};
  int ended = 0;
};

TEST_F(StartUp, CreatesEveryWindowWithItsCaptionAndOnlyTheMainWindowShows) {
  auto program = Make();
  EXPECT_EQ(program->MainForm().windowTitle(), QStringLiteral("Sonavel"));
  EXPECT_EQ(program->PagesDlg().windowTitle(), QStringLiteral("各種設定"));
  EXPECT_EQ(program->ComForm().windowTitle(), QStringLiteral("接続中"));
  EXPECT_EQ(program->KeyboardForm().windowTitle(), QStringLiteral("Virtual Keyboard"));
  EXPECT_EQ(program->PChangeForm().windowTitle(), QStringLiteral("音色ﾘｽﾄ"));
  EXPECT_EQ(program->AboutBox().windowTitle(), QStringLiteral("ﾊﾞｰｼﾞｮﾝ情報"));
  EXPECT_EQ(QApplication::applicationName(), QStringLiteral("Sonavel"));
  for (QWidget* w : std::initializer_list<QWidget*>{&program->MainForm(), &program->PagesDlg(),
                                                    &program->ComForm(), &program->KeyboardForm(),
                                                    &program->PChangeForm(), &program->AboutBox()}) {
    EXPECT_FALSE(w->isVisible()) << w->windowTitle().toStdString();
  }
  EXPECT_FALSE(QFile::exists(file.Path())) << "nothing is written before the program ends";
}

TEST_F(StartUp, FirstStartCentresBothWindowsAndClosingWritesTheFourKeys) {
  auto program = Make();
  program->Start();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&program->MainForm()));
  TMainForm& form = program->MainForm();
  TKeyboardForm& keyboard = program->KeyboardForm();
  EXPECT_EQ(form.frameGeometry().topLeft(), Centred(form));
  EXPECT_TRUE(keyboard.isVisible());
  EXPECT_TRUE(form.SpeedButton2->isChecked());
  EXPECT_EQ(keyboard.frameGeometry().topLeft(), Centred(keyboard));

  const QPoint mainAt = form.frameGeometry().topLeft();
  const QPoint keyboardAt = keyboard.frameGeometry().topLeft();
  form.close();
  EXPECT_EQ(file.ReadInt(kMain, kTop, -9999), mainAt.y());
  EXPECT_EQ(file.ReadInt(kMain, kLeft, -9999), mainAt.x());
  EXPECT_EQ(file.ReadInt(kKeyboard, kTop, -9999), keyboardAt.y());
  EXPECT_EQ(file.ReadInt(kKeyboard, kLeft, -9999), keyboardAt.x());
  EXPECT_FALSE(keyboard.isVisible());
  EXPECT_EQ(ended, 1);
}

TEST_F(StartUp, StoredPositionsAreAppliedAsTheyStandEvenOffTheScreen) {
  const int beyond = QApplication::primaryScreen()->geometry().width() + 50;
  file.WriteInt(kMain, kTop, 40);
  file.WriteInt(kMain, kLeft, 30);
  file.WriteInt(kKeyboard, kTop, 500);
  file.WriteInt(kKeyboard, kLeft, beyond);
  auto program = Make();
  program->Start();
  EXPECT_EQ(program->MainForm().frameGeometry().topLeft(), QPoint(30, 40));
  EXPECT_EQ(program->KeyboardForm().frameGeometry().topLeft(), QPoint(beyond, 500));
  // Hiding and showing with the button brings it back.
  QTest::mouseClick(program->MainForm().SpeedButton2, Qt::LeftButton);
  QTest::mouseClick(program->MainForm().SpeedButton2, Qt::LeftButton);
  const int width = program->KeyboardForm().frameGeometry().width();
  EXPECT_EQ(program->KeyboardForm().frameGeometry().left(), beyond - 50 - width);
  EXPECT_EQ(program->KeyboardForm().frameGeometry().top(), 500);
  program->MainForm().close();
}

TEST_F(StartUp, KeyboardPositionIsWrittenEvenWhileItIsHidden) {
  auto program = Make();
  program->Start();
  program->KeyboardForm().move(123, 45);
  program->MainForm().Button11Click();
  ASSERT_FALSE(program->KeyboardForm().isVisible());
  program->MainForm().close();
  EXPECT_EQ(file.ReadInt(kKeyboard, kTop, -1), 45);
  EXPECT_EQ(file.ReadInt(kKeyboard, kLeft, -1), 123);
}

TEST_F(StartUp, WithoutChosenDevicesBothRefusalsAreShownAndStartUpGoesOn) {
  auto program = Make();
  program->Start();
  EXPECT_EQ(prompter.messages, (QStringList{QStringLiteral("MIDI IN デバイスを選択してください。"),
                                            QStringLiteral("MIDI OUT デバイスを選択してください。")}));
  EXPECT_FALSE(program->MainForm().SpeedButton1->isChecked());
  EXPECT_TRUE(program->KeyboardForm().isVisible());
  program->MainForm().close();
}

TEST_F(StartUp, SettingsAreAppliedThenTheChosenDevicesOpenAndGetEveryChannel) {
  ChooseFakeDevices();
  file.WriteString(QStringLiteral("names"), QStringLiteral("name2"), QStringLiteral("山田"));
  auto program = Make();
  program->Start();
  EXPECT_TRUE(prompter.messages.isEmpty()) << prompter.messages.join(QLatin1Char('\n')).toStdString();
  EXPECT_TRUE(midi.out->open);
  EXPECT_TRUE(program->Engine().InputOpen());
  EXPECT_TRUE(program->MainForm().SpeedButton1->isChecked());
  EXPECT_EQ(midi.out->shorts.size(), 80u);
  EXPECT_EQ(program->MainForm().SpeedButton9->toolTip(), QStringLiteral("山田"));
  EXPECT_EQ(program->MainForm().SpeedButton9->statusTip(), QStringLiteral("山田 に接続します"));
  EXPECT_EQ(program->MainForm().destinationItems[1]->text(), QStringLiteral("山田"));
  EXPECT_EQ(program->MainForm().destinationItems[0]->text(), QStringLiteral("接続先1"));

  // A note from the MIDI input plays on the local part and marks the keyboard.
  midi.out->Clear();
  ASSERT_TRUE(midi.Play(PackShort(0x90, 60, 100)));
  ASSERT_FALSE(midi.out->shorts.empty());
  EXPECT_EQ(midi.out->shorts[0], PackShort(0x90, 60, 100));
  EXPECT_EQ(program->MainForm().LevelMeter1->Value(), 100);

  program->MainForm().Exit1->trigger();
  EXPECT_FALSE(midi.out->open);
  EXPECT_EQ(midi.out->resets, 1) << "closed once, by the menu; the close finds nothing open";
  EXPECT_FALSE(program->MainForm().isVisible());
  EXPECT_EQ(ended, 1);
}

TEST_F(StartUp, AboutBoxOpensBesideAUsableMainWindowAndOkOnlyHidesIt) {
  auto program = Make();
  program->Start();
  program->MainForm().Help1->trigger();
  EXPECT_TRUE(program->AboutBox().isVisible());
  EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
  EXPECT_TRUE(program->MainForm().isEnabled());
  QTest::mouseClick(program->AboutBox().OKButton, Qt::LeftButton);
  EXPECT_FALSE(program->AboutBox().isVisible());
  program->MainForm().Help1->trigger();
  EXPECT_TRUE(program->AboutBox().isVisible());
  program->MainForm().close();
  EXPECT_FALSE(program->AboutBox().isVisible());
}

TEST_F(StartUp, ProgramDisplaysOpenTheToneListForTheirPartAndHideIt) {
  auto program = Make();
  program->Start();
  QTest::mouseClick(program->MainForm().Ekisyou1, Qt::LeftButton);
  EXPECT_TRUE(program->PChangeForm().isVisible());
  EXPECT_EQ(program->PChangeForm().EditChannel(), 1);
  QTest::mouseClick(program->MainForm().Ekisyou2, Qt::LeftButton);
  EXPECT_FALSE(program->PChangeForm().isVisible()) << "a click while it is open hides it";
  QTest::mouseClick(program->MainForm().Ekisyou2, Qt::LeftButton);
  EXPECT_EQ(program->PChangeForm().EditChannel(), 0);
  program->MainForm().close();
}

TEST_F(StartUp, TheKeyboardClosingItselfReleasesItsButton) {
  auto program = Make();
  program->Start();
  program->KeyboardForm().close();
  EXPECT_FALSE(program->MainForm().SpeedButton2->isChecked());
  program->MainForm().close();
}

TEST_F(StartUp, AFailedPositionWriteIsReportedAfterTheRestOfTheShutdown) {
  // A settings file inside a plain file reads as missing and can never be written.
  QFile plain(dir.filePath(QStringLiteral("plain")));
  ASSERT_TRUE(plain.open(QIODevice::WriteOnly));
  plain.close();
  Profile blocked(dir.filePath(QStringLiteral("plain/Sonavel.ini")));
  Program program(midi, prompter, blocked, dir.path());
  qsizetype reportsWhenEnded = -1;
  program.onEnded = [&] { reportsWhenEnded = prompter.errors.size(); };
  program.Start();
  EXPECT_NO_THROW(program.MainForm().Commands().formClose());
  EXPECT_FALSE(program.KeyboardForm().isVisible());
  EXPECT_EQ(reportsWhenEnded, 1) << "the report comes first, then the end of the event loop";
}

TEST_F(StartUp, TeardownStopsTheDevicesFirstThenTakesEachWindowDownBeforeWhatItUses) {
  ChooseFakeDevices();
  auto program = Make();
  program->Start();
  ASSERT_TRUE(midi.out->open);
  bool mainGone = false;
  bool outputOpen = true;
  bool inputOpen = true;
  bool mainAlive = false;
  QObject::connect(&program->MainForm(), &QObject::destroyed, [&] { mainGone = true; });
  QObject::connect(&program->KeyboardForm(), &QObject::destroyed, [&] {
    outputOpen = midi.out->open;
    inputOpen = midi.Play(PackShort(0xFE, 0, 0));
    mainAlive = !mainGone;
  });
  program.reset();
  EXPECT_FALSE(outputOpen) << "the keyboard window went while the devices could still play into it";
  EXPECT_FALSE(inputOpen);
  EXPECT_TRUE(mainAlive) << "the main window, which shows the keyboard, goes after it";
  EXPECT_TRUE(mainGone);
}

// ------------------------------------------------------------------------ one error boundary

// A device fault under a stream of MIDI input: one box that counts, never a box per message.
TEST_F(StartUp, ABurstOfFailingMidiInputGivesOneBox) {
  ChooseFakeDevices();
  BoxPrompter boxes;
  Program program(midi, boxes, file, dir.path());
  program.Start();
  midi.out->shortFails = true;
  for (int i = 0; i < 100; ++i) ASSERT_TRUE(midi.Play(PackShort(0xB0, 1, i)));
  const QStringList shown = BoxesShown();
  ASSERT_EQ(shown.size(), 1) << shown.join(QLatin1Char('|')).toStdString();
  EXPECT_TRUE(shown[0].startsWith(QStringLiteral("MIDI OUT に送れません")));
  // (The keyboard window's panel adds its own failing sends as it repaints.)
  const auto count = QRegularExpression(QStringLiteral("(\\d+) 回")).match(shown[0]).captured(1).toInt();
  EXPECT_GE(count, 100) << shown[0].toStdString();
  midi.out->shortFails = false;
  program.MainForm().close();
}

// A line that stops taking bytes, and one that goes away: the local part sounds and unmarks
// from the MIDI input and from the keyboard window all the same, the window does not wait a
// second per note, and the user is told once.
class LineFault : public StartUp {
 protected:
  void Connect() {
    ASSERT_TRUE(far.Ok());
    ChooseFakeDevices();
    file.WriteString(QStringLiteral("modem"), QStringLiteral("device"), far.Path());
    program = Make();
    program->Start();
    TMainForm& form = program->MainForm();
    QTest::mouseClick(form.SpeedButton6, Qt::LeftButton);
    ASSERT_TRUE(program->Port().Comm1.IsOpen());
    far.Send("CONNECT 9600\r");
    ASSERT_TRUE(QTest::qWaitFor([&] { return form.StatusText(2) == QStringLiteral("接続中"); }));
    ASSERT_TRUE(QTest::qWaitFor([&] { return !program->KeyboardForm().Instrument().Animating(); }));
  }
  // Plays a note from the MIDI input and one from the keyboard window's lowest key (note 36),
  // checking that each sounds and marks locally and its release unmarks; returns the longest
  // time one message took.
  std::chrono::milliseconds PlayBoth() {
    using Clock = std::chrono::steady_clock;
    TKeyboardForm& kbd = program->KeyboardForm();
    const QPoint key(46 + 5, 62 + 60);
    QWidget* under = kbd.childAt(key) != nullptr ? kbd.childAt(key) : &kbd;
    const QPoint at = under->mapFrom(&kbd, key);
    const std::function<void()> steps[] = {
        [&] { EXPECT_TRUE(midi.Play(PackShort(0x90, 60, 100))); },
        [&] { EXPECT_TRUE(midi.Play(PackShort(0x80, 60, 0))); },
        [&] { QTest::mousePress(under, Qt::LeftButton, {}, at); },
        [&] { QTest::mouseRelease(under, Qt::LeftButton, {}, at); },
    };
    const ShortMessage sounded[] = {PackShort(0x90, 60, 100), PackShort(0x80, 60, 0), PackShort(0x90, 36, 80),
                                    PackShort(0x90, 36, 0)};
    const bool marked[] = {true, false, true, false};
    const int markedKey[] = {60 - 36, 60 - 36, 0, 0};
    Clock::duration longest{};
    for (int i = 0; i < 4; ++i) {
      midi.out->Clear();
      const auto start = Clock::now();
      steps[i]();
      longest = std::max(longest, Clock::now() - start);
      const auto& out = midi.out->shorts;
      EXPECT_NE(std::find(out.begin(), out.end(), sounded[i]), out.end()) << "step " << i << " did not sound";
      EXPECT_EQ(kbd.Instrument().Marks().Has(markedKey[i], Side::Local), marked[i]) << "step " << i;
    }
    return std::chrono::duration_cast<std::chrono::milliseconds>(longest);
  }

  FarEnd far;
  std::unique_ptr<Program> program;
};

TEST_F(LineFault, AStalledLineIsReportedOnceAndLaterNotesDoNotWaitForIt) {
  Connect();
  TComm& comm = program->Port().Comm1;
  comm.SetBaudRate(256000);  // the stall is found within the time the queue needs at this speed
  // Nobody reads the far end. The pty moves written bytes on to the far side's line discipline
  // in a kernel worker, which a loaded machine runs late: the first stall can come while room
  // is still to appear there. Filled a second time once the worker has run, the line stays full.
  for (int fill = 0; fill < 2; ++fill) {
    bool stalled = false;
    for (int i = 0; i < 1000 && !stalled; ++i) {
      try {
        comm.WriteString(QByteArray(1000, 'x'));
      } catch (const ECommReadWriteError&) {
        stalled = true;
      }
    }
    ASSERT_TRUE(stalled);
    QTest::qWait(200);
  }
  PlayBoth();  // the first frame finds the stall
  ASSERT_EQ(prompter.errors.size(), 1);
  EXPECT_TRUE(prompter.errors[0].contains(QStringLiteral("演奏は相手に送られません"))) << prompter.errors[0].toStdString();
  for (int round = 0; round < 3; ++round) EXPECT_LT(PlayBoth().count(), 500) << "a note waited for the line";
  QCoreApplication::processEvents();
  EXPECT_EQ(prompter.errors.size(), 1);
  program->MainForm().close();
}

TEST_F(LineFault, ALostLineIsReportedOnceAndLocalPlayGoesOn) {
  Connect();
  far.HangUp();
  for (int round = 0; round < 3; ++round) {
    PlayBoth();
    QTest::qWait(50);  // the watcher's news of the lost line arrives meanwhile
  }
  EXPECT_EQ(prompter.errors.size(), 1) << prompter.errors.join(QLatin1Char('|')).toStdString();
  EXPECT_FALSE(program->Port().Comm1.IsOpen());
  program->MainForm().close();
}

// ------------------------------------------------------------------------ over a serial line

// Collects what the program wrote to the far end until `want` is among it, letting the program
// run meanwhile.
QByteArray ReadUntil(FarEnd& far, const QByteArray& want) {
  (void)QTest::qWaitFor([&] { return far.Heard().contains(want); });
  return far.Heard();
}

// This thread in a network namespace of its own, with a global IPv6 address on its loopback,
// until the object goes. Threads started meanwhile (the modem's) stay in it.
class OwnNetwork {
 public:
  static constexpr const char* kAddress = "2001:db8:5::5";
  OwnNetwork() : name_("pm-" + std::to_string(::getpid()) + "-app"), outside_(::open("/proc/self/ns/net", O_RDONLY)) {
    const std::string make = "ip netns add " + name_ + " && ip -n " + name_ + " link set lo up && ip -n " + name_ +
                             " addr add " + kAddress + "/64 dev lo nodad";
    if (std::system(make.c_str()) != 0) return;
    const int inside = ::open(("/run/netns/" + name_).c_str(), O_RDONLY);
    entered_ = inside >= 0 && ::setns(inside, CLONE_NEWNET) == 0;
    if (inside >= 0) ::close(inside);
  }
  ~OwnNetwork() {
    if (entered_) ::setns(outside_, CLONE_NEWNET);
    ::close(outside_);
    [[maybe_unused]] const int ignored = std::system(("ip netns del " + name_ + " 2>/dev/null").c_str());
  }
  bool Entered() const { return entered_; }

 private:
  std::string name_;
  int outside_;
  bool entered_ = false;
};

TEST_F(StartUp, TheMenuCopiesTheAddressToGiveTheCallerOnceTheModemWaits) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root for a network namespace";
  OwnNetwork net;
  ASSERT_TRUE(net.Entered());
  auto program = StartOnTcp(24681);
  TMainForm& form = program->MainForm();
  QGuiApplication::clipboard()->setText(QStringLiteral("before"));

  form.KAddress->trigger();
  ASSERT_FALSE(prompter.messages.isEmpty());
  EXPECT_TRUE(prompter.messages.last().contains(QStringLiteral("まだありません")));
  EXPECT_EQ(QGuiApplication::clipboard()->text(), QStringLiteral("before"));

  form.K8->trigger();
  const QString address = QStringLiteral("[2001:db8:5::5]:24681");
  ASSERT_TRUE(WaitFor([&] { return form.Memo1->toPlainText().contains(address); }))
      << form.Memo1->toPlainText().toStdString();
  form.KAddress->trigger();
  EXPECT_EQ(QGuiApplication::clipboard()->text(), address);
  form.close();
}

TEST_F(StartUp, ChatAndFramesTravelOverThePortAndTheConnectionShowsInTheStatusBar) {
  FarEnd far;
  ASSERT_TRUE(far.Ok());
  ChooseFakeDevices();
  file.WriteString(QStringLiteral("modem"), QStringLiteral("device"), far.Path());
  file.WriteString(QStringLiteral("syozai"), QStringLiteral("name"), QStringLiteral("abc"));
  auto program = Make();
  program->Start();
  TMainForm& form = program->MainForm();

  QTest::mouseClick(form.SpeedButton6, Qt::LeftButton);  // the COM port opens
  ASSERT_TRUE(program->Port().Comm1.IsOpen()) << prompter.errors.join(QLatin1Char('\n')).toStdString();

  // Not connected: the typed line goes to the modem without the name. The keys go where the
  // window system sends them: to the focus widget, after a click into the chat window.
  form.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&form));
  QTest::mouseClick(form.Memo1->viewport(), Qt::LeftButton, {}, QPoint(20, 20));
  QTest::keyClicks(QApplication::focusWidget(), QStringLiteral("hello"));
  QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
  EXPECT_EQ(ReadUntil(far, "\r"), QByteArray("hello\r"));
  EXPECT_TRUE(form.Memo1->toPlainText().endsWith(QStringLiteral("hello")));
  EXPECT_EQ(form.History().value(0), QStringLiteral("hello"));
  EXPECT_TRUE(form.InputText().isEmpty());

  // The modem reports the connection: status panel, clock, and the line in the chat.
  far.Send("CONNECT 9600\r");
  ASSERT_TRUE(QTest::qWaitFor([&] { return form.StatusText(2) == QStringLiteral("接続中"); }));
  EXPECT_TRUE(form.ClockRunning());
  EXPECT_TRUE(form.Memo1->toPlainText().contains(QStringLiteral("CONNECT 9600 ")));
  form.Timer1->setInterval(1);  // the clock's time source, sped up
  ASSERT_TRUE(QTest::qWaitFor([&] { return form.StatusText(3) == QStringLiteral("00:00:03"); }));
  form.Timer1->stop();

  // Connected: a local note goes out as a frame, a chat line with the name.
  far.Clear();
  midi.out->Clear();
  ASSERT_TRUE(midi.Play(PackShort(0x90, 60, 100)));
  // (The keyboard window's panel sends its own controller frames as it repaints.)
  EXPECT_TRUE(ReadUntil(far, QByteArray("\xFF\x90\x3C\x64", 4)).contains(QByteArray("\xFF\x90\x3C\x64", 4)));
  far.Clear();
  form.ComboBox1->setEditText(QStringLiteral("やあ"));
  QTest::mouseClick(form.Button5, Qt::LeftButton);
  EXPECT_TRUE(ReadUntil(far, "\r").contains("abc     >\x82\xE2\x82\xA0\r"));

  // From the peer: a frame sounds on the remote part, a Shift-JIS line shows as text.
  midi.out->Clear();
  far.Send(QByteArray("\xFF\x90\x40\x50", 4));
  ASSERT_TRUE(QTest::qWaitFor([&] {
    return std::find(midi.out->shorts.begin(), midi.out->shorts.end(), PackShort(0x91, 0x40, 0x50)) !=
           midi.out->shorts.end();
  }));
  EXPECT_EQ(form.LevelMeter2->Value(), 0x50);
  far.Send("peer>\x82\xB1\x82\xF1<b>x</b>\r");
  ASSERT_TRUE(QTest::qWaitFor(
      [&] { return form.Memo1->toPlainText().endsWith(QStringLiteral("peer>こん<b>x</b>")); }));

  // A picture of the connected window with its chat, for a person to look at.
  const QString shots = qEnvironmentVariable("SONAVEL_TEST_OUTPUT") + QStringLiteral("/mainwin");
  ASSERT_TRUE(QDir().mkpath(shots));
  EXPECT_TRUE(form.grab().save(shots + QStringLiteral("/connected.png")));

  // Hang-up: "Bye", the port closes, the panels empty.
  far.Clear();
  QTest::mouseClick(form.SpeedButton3, Qt::LeftButton);
  EXPECT_TRUE(ReadUntil(far, "Bye\r").contains("Bye\r"));
  EXPECT_FALSE(program->Port().Comm1.IsOpen());
  EXPECT_TRUE(form.StatusText(2).isEmpty());
  EXPECT_TRUE(form.StatusText(3).isEmpty());
  EXPECT_FALSE(form.SpeedButton6->isChecked());
  EXPECT_TRUE(form.Memo1->toPlainText().endsWith(QStringLiteral("切断しました")));
  program->MainForm().close();

  // The log holds the lines that passed, named after the day.
  const QStringList logs = QDir(dir.path()).entryList({QStringLiteral("*.log")}, QDir::Files);
  ASSERT_EQ(logs.size(), 1);
  QFile log(dir.filePath(logs[0]));
  ASSERT_TRUE(log.open(QIODevice::ReadOnly));
  const QByteArray text = log.readAll();
  EXPECT_TRUE(text.contains("hello\r\n"));
  EXPECT_TRUE(text.contains("peer>\x82\xB1\x82\xF1<b>x</b>\r\n"));
}

// 待機 (button or menu) while a call stands: the answer command would reach the partner as chat,
// so nothing is sent, the chat stays, and the player is told why.
TEST_F(StartUp, WaitingDuringACallSendsThePartnerNothingAndSaysWhy) {
  FarEnd far;
  ASSERT_TRUE(far.Ok());
  auto program = StartOnSerial(far);
  TMainForm& form = program->MainForm();
  QTest::mouseClick(form.SpeedButton13, Qt::LeftButton);
  EXPECT_EQ(ReadUntil(far, "\r"), QByteArray("ats0=1\r"));
  far.Send("RING\rCONNECT 9600\r");
  ASSERT_TRUE(QTest::qWaitFor([&] { return form.StatusText(2) == QStringLiteral("接続中"); }));
  // The parts' settings go to the partner as the call begins; what is heard after them is 待機's.
  for (qsizetype before = -1; before != far.Heard().size();) {
    before = far.Heard().size();
    QTest::qWait(300);
  }

  far.Clear();
  QTest::mouseClick(form.SpeedButton13, Qt::LeftButton);
  form.K8->trigger();
  EXPECT_EQ(prompter.messages.count(QStringLiteral("通話中です。切断してから待機してください。")), 2);
  QTest::qWait(50);
  EXPECT_TRUE(far.Heard().isEmpty()) << far.Heard().toHex(' ').constData();
  EXPECT_TRUE(form.Memo1->toPlainText().contains(QStringLiteral("CONNECT 9600 ")));
  EXPECT_EQ(form.StatusText(2), QStringLiteral("接続中"));
  form.close();
}

TEST_F(StartUp, DialingShowsTheConnectionWindowBesideTheMainWindow) {
  FarEnd far;
  ASSERT_TRUE(far.Ok());
  file.WriteString(QStringLiteral("modem"), QStringLiteral("device"), far.Path());
  file.WriteString(QStringLiteral("names"), QStringLiteral("telnumber1"), QStringLiteral("123"));
  file.WriteString(QStringLiteral("modem"), QStringLiteral("text2"), QString());
  auto program = Make();
  program->Start();
  TMainForm& form = program->MainForm();
  QTest::mouseClick(form.SpeedButton8, Qt::LeftButton);
  EXPECT_EQ(ReadUntil(far, "ATZ\r"), QByteArray("ATZ\r"));
  TComForm& com = program->ComForm();
  EXPECT_TRUE(com.isVisible());
  EXPECT_EQ(com.frameGeometry().topLeft(), form.frameGeometry().topLeft() + QPoint(20, 20));
  EXPECT_EQ(com.Label1->text(), QStringLiteral("\"接続先1\"に接続中"));
  EXPECT_EQ(com.Label2->text(), QStringLiteral("123"));
  EXPECT_TRUE(form.SpeedButton6->isChecked());
  far.Clear();
  far.Send("OK\r");
  EXPECT_EQ(ReadUntil(far, "atdt123\r"), QByteArray("atdt123\r"));
  QTest::mouseClick(com.Button1, Qt::LeftButton);  // cancel
  EXPECT_FALSE(com.isVisible());
  EXPECT_FALSE(program->Port().Comm1.IsOpen());
  EXPECT_FALSE(form.SpeedButton6->isChecked());
  // Dialling a destination without a number only says so.
  QTest::mouseClick(form.SpeedButton9, Qt::LeftButton);
  EXPECT_EQ(prompter.messages.back(), QStringLiteral("電話番号を設定してください。"));
  form.close();
}

}  // namespace

// On a real X display: the user clicks into the chat window, types a line and presses Return,
// all through the X server; the line leaves for the modem once.
TEST_F(StartUp, OnX11ALineTypedAfterAClickIntoTheChatIsSentByReturn) {
  if (const QString why = xinput::Unavailable(); !why.isEmpty()) GTEST_SKIP() << why.toStdString();
  FarEnd far;
  ASSERT_TRUE(far.Ok());
  auto program = StartOnSerial(far);
  TMainForm& form = program->MainForm();
  form.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
  ASSERT_TRUE(QTest::qWaitForWindowActive(&form));
  QTest::mouseClick(form.SpeedButton6, Qt::LeftButton);  // the COM port opens
  ASSERT_TRUE(program->Port().Comm1.IsOpen());

  ASSERT_TRUE(xinput::ClickAt(form.Memo1->viewport(), QPoint(20, 20)));
  ASSERT_TRUE(xinput::Type(QStringLiteral("hello x11")));
  ASSERT_TRUE(QTest::qWaitFor([&] { return form.InputText() == QStringLiteral("hello x11"); }));
  ASSERT_TRUE(xinput::Key(QStringLiteral("Return")));
  EXPECT_EQ(ReadUntil(far, "\r"), QByteArray("hello x11\r"));
  ASSERT_TRUE(QTest::qWaitFor([&] { return form.InputText().isEmpty(); }));
  EXPECT_EQ(form.History().value(0), QStringLiteral("hello x11"));
  QTest::qWait(200);  // once only: nothing more follows the line
  EXPECT_EQ(far.Heard(), QByteArray("hello x11\r"));
  program->MainForm().close();
}

// On a real X display: Return closes the about box (its OK is the default button), and a click
// through the X server on the connection window's cancel button ends the dialling.
TEST_F(StartUp, OnX11TheAboutBoxAndTheConnectionWindowTakeTheirKeysAndClicks) {
  if (const QString why = xinput::Unavailable(); !why.isEmpty()) GTEST_SKIP() << why.toStdString();
  FarEnd far;
  ASSERT_TRUE(far.Ok());
  file.WriteString(QStringLiteral("modem"), QStringLiteral("device"), far.Path());
  file.WriteString(QStringLiteral("names"), QStringLiteral("telnumber1"), QStringLiteral("123"));
  auto program = Make();
  program->Start();
  TMainForm& form = program->MainForm();

  form.Help1->trigger();
  QWidget& about = program->AboutBox();
  about.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&about));
  ASSERT_TRUE(xinput::Key(QStringLiteral("Return")));
  ASSERT_TRUE(QTest::qWaitFor([&] { return !about.isVisible(); }));

  QTest::mouseClick(form.SpeedButton8, Qt::LeftButton);  // dial the first destination
  TComForm& com = program->ComForm();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&com));
  ASSERT_TRUE(xinput::Click(com.Button1));
  ASSERT_TRUE(QTest::qWaitFor([&] { return !com.isVisible(); }));
  EXPECT_FALSE(program->Port().Comm1.IsOpen());
  form.close();
}

// On a real X display: the player waits by the menu's keys (Alt+T, T), then clicks the menu and
// its copy entry; another program on the display pastes the address line.
TEST_F(StartUp, OnX11TheMenuByKeysWaitsAndByClicksCopiesTheAddressForOtherPrograms) {
  if (const QString why = xinput::Unavailable(); !why.isEmpty()) GTEST_SKIP() << why.toStdString();
  if (QStandardPaths::findExecutable(QStringLiteral("xclip")).isEmpty()) GTEST_SKIP() << "needs xclip";
  if (::geteuid() != 0) GTEST_SKIP() << "needs root for a network namespace";
  OwnNetwork net;
  ASSERT_TRUE(net.Entered());
  auto program = StartOnTcp(24682);
  TMainForm& form = program->MainForm();
  form.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&form));

  ASSERT_TRUE(xinput::Key(QStringLiteral("alt+t")));
  ASSERT_TRUE(QTest::qWaitFor([&] { return form.View1->isVisible(); }));
  ASSERT_TRUE(xinput::Key(QStringLiteral("t")));
  const QString address = QStringLiteral("[2001:db8:5::5]:24682");
  ASSERT_TRUE(WaitFor([&] { return form.Memo1->toPlainText().contains(address); }))
      << form.Memo1->toPlainText().toStdString();

  QMenuBar* bar = form.menuBar();
  ASSERT_TRUE(xinput::ClickAt(bar, bar->actionGeometry(form.View1->menuAction()).center()));
  ASSERT_TRUE(QTest::qWaitFor([&] { return form.View1->isVisible(); }));
  ASSERT_TRUE(xinput::ClickAt(form.View1, form.View1->actionGeometry(form.KAddress).center()));
  EXPECT_TRUE(QTest::qWaitFor([&] { return xinput::PastedText() == address; }, 5000))
      << xinput::PastedText().toStdString();
  form.close();
}

namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr qint64 kFloodBytes = 5 << 20;  // the sanitizers run everything many times slower
#else
constexpr qint64 kFloodBytes = 50 << 20;
#endif

// A peer floods the call: the program reads the line no faster than it shows and logs what it
// read, so the peer is held back by the modems and TCP, the program's memory stays bounded, and
// its window goes on answering - its timers fire, and notes played meanwhile reach the peer.
TEST_F(StartUp, AFloodOfEmptyAndLongLinesLeavesMemoryBoundedAndTheWindowAnswering) {
  auto program = StartOnTcp(FreeTcpPort());
  TMainForm& form = program->MainForm();
  QTest::mouseClick(form.SpeedButton13, Qt::LeftButton);  // wait for a call
  ASSERT_NE(program->BuiltInModem(), nullptr);
  ASSERT_TRUE(QTest::qWaitFor([&] { return program->BuiltInModem()->BoundPort() != 0; }));

  // Measured from before the call: the flood may come faster than the window shows the call.
  const long before = ResidentKiB();
  std::atomic<long> most{before};
  std::atomic<bool> sampling{true};
  std::thread sampler([&] {
    while (sampling) {
      most = std::max(most.load(), ResidentKiB());
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  });
  int notesPlayed = 0;
  int ticks = 0;
  qint64 longestGap = 0;
  QElapsedTimer sinceTick, sinceNote, flood;
  sinceTick.start();
  sinceNote.start();
  flood.start();
  QTimer tick;
  QObject::connect(&tick, &QTimer::timeout, [&] {
    longestGap = std::max(longestGap, sinceTick.restart());
    ++ticks;
    if (sinceNote.elapsed() >= 250 && form.StatusText(2) == QStringLiteral("接続中")) {
      sinceNote.restart();
      ASSERT_TRUE(midi.Play(PackShort(0x90, 60, 100)));
      ++notesPlayed;
    }
  });
  tick.start(20);
  FloodingPeer peer(program->BuiltInModem()->BoundPort(), kFloodBytes);
  const auto flooded = [&] { return form.Memo1->toPlainText().endsWith(QStringLiteral("end of flood")); };
  const bool caughtUp = QTest::qWaitFor(flooded, 180000);
  tick.stop();
  sampling = false;
  sampler.join();
  const qint64 ms = flood.elapsed();
  std::printf(
      "flood of %lld MB: taken in %lld s, memory grew by %ld MB (%ld -> %ld KiB); the 20 ms timer fired "
      "%d times, at most %lld ms apart; %d notes played during it, %d reached the peer\n",
      static_cast<long long>(peer.sent / (1 << 20)), static_cast<long long>(ms / 1000),
      (most - before) / 1024, before, most.load(), ticks, static_cast<long long>(longestGap), notesPlayed,
      peer.notesHeard.load());
  ASSERT_TRUE(caughtUp) << peer.sent / (1 << 20) << " MB sent";
  EXPECT_LT(most - before, 40 * 1024) << "KiB the flood took";
  // Generous for a loaded machine (two cores shared by many jobs): the window keeps its timers
  // and sends the notes played meanwhile.
  EXPECT_GT(ticks, ms / 20 / 10) << "the timer hardly fired";
  EXPECT_LT(longestGap, 1500) << "ms the window did not answer";
  EXPECT_GE(notesPlayed, ms / 250 / 10);
  EXPECT_TRUE(QTest::qWaitFor([&] { return peer.notesHeard >= notesPlayed; }))
      << peer.notesHeard << " of " << notesPlayed << " notes reached the peer";
  EXPECT_EQ(form.Memo1->blockCount(), ChatView::kLines);
  EXPECT_EQ(form.StatusText(2), QStringLiteral("接続中"));
}

}  // namespace
