#include <gtest/gtest.h>

#include <QAction>
#include <QComboBox>
#include <QFile>
#include <QFileDialog>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QTest>
#include <QToolButton>
#include <vector>

#include "app/MainForm.h"
#include "routing/ToneFile.h"
#include "controls/Ekisyou.h"
#include "controls/LevelMeter.h"
#include "controls/MyTrackBar.h"
#include "controls/MyTrackBarV.h"
#include "controls/UpDownButton.h"
#include "MainFormRig.h"
#include "support/RecordingMidi.h"

namespace {

class FixedChoice final : public MidiDeviceChoice {
 public:
  int in = 0;
  int out = 0;
  int SelectedInput() const override { return in; }
  int SelectedOutput() const override { return out; }
};

class RecordingLink final : public LinkPort {
 public:
  bool connected = false;
  std::vector<std::vector<std::uint8_t>> frames;
  bool LinkUp() const override { return connected; }
  void WriteUnit(std::span<const std::uint8_t> bytes) override {
    frames.emplace_back(bytes.begin(), bytes.end());
  }
};

// The key marks the main window passes on, as the keyboard window would receive them.
struct KeyRecorder {
  std::vector<std::pair<int, Side>> down;
  std::vector<std::pair<int, Side>> up;
  int clears = 0;
  void Listen(TMainForm& form) {
    QObject::connect(&form, &TMainForm::keyDownShown, [this](int n, Side s) { down.emplace_back(n, s); });
    QObject::connect(&form, &TMainForm::keyUpShown, [this](int n, Side s) { up.emplace_back(n, s); });
    QObject::connect(&form, &TMainForm::keyMarksCleared, [this] { ++clears; });
  }
};

constexpr ShortMessage Cc(int channel, int controller, int value) {
  return PackShort(0xB0 + channel, controller, value);
}

// A main window wired to a real routing engine whose output records what it is sent.
class MainFormWiring : public ::testing::Test {
 protected:
  MainFormWiring() {
    keys.Listen(form);
    MainFormCommands& c = form.Commands();
    PlayThrough(c, engine);
    c.keyboardWindow = [this] { return &keyboard; };
    c.dialDestination = [this](int n) { calls << QStringLiteral("dial%1").arg(n); };
    c.waitForCall = [this] { calls << QStringLiteral("wait"); };
    c.copyCallerAddress = [this] { calls << QStringLiteral("copyAddress"); };
    c.hangUp = [this] { calls << QStringLiteral("hangUp"); };
    c.comButton = [this](bool down) {
      calls << (down ? QStringLiteral("comOpen") : QStringLiteral("comClose"));
    };
    c.comMenu = [this] { calls << QStringLiteral("comMenu"); };
    c.sendChatLine = [this] { calls << QStringLiteral("send"); };
    c.clockTick = [this] { calls << QStringLiteral("tick"); };
    c.clearChat = [this] { calls << QStringLiteral("clear"); };
    c.memo1Click = [this] { calls << QStringLiteral("memo1Click"); };
    c.showSettings = [this] { calls << QStringLiteral("settings"); };
    c.showAbout = [this] { calls << QStringLiteral("about"); };
    c.programDisplayClick = [this](Side s) {
      calls << (s == Side::Local ? QStringLiteral("toneListLocal") : QStringLiteral("toneListRemote"));
    };
    c.formClose = [this] { calls << QStringLiteral("formClose"); };
    form.show();
    keyboard.resize(483, 131);
    keyboard.show();
    engine.OpenMidiDevices();
    midi.out->Clear();
  }

  std::vector<ShortMessage>& Sent() { return midi.out->shorts; }
  static std::vector<ShortMessage> AllNotesOffOnEveryChannel() {
    std::vector<ShortMessage> v;
    for (int ch = 0; ch < 16; ++ch) v.push_back(Cc(ch, 123, 0));
    return v;
  }
  static void Click(QToolButton* button) { QTest::mouseClick(button, Qt::LeftButton); }

  FakeMidiSystem midi;
  RecordingPrompter prompter;
  FixedChoice choice;
  RecordingLink link;
  KeyRecorder keys;
  TMainForm form{prompter};
  QWidget keyboard{nullptr, Qt::Tool};
  RoutingEngine engine{midi, form, choice, link};
  QStringList calls;
};

TEST_F(MainFormWiring, AllNotesOffFromButtonAndMenu) {
  Click(form.SpeedButton4);
  EXPECT_EQ(Sent(), AllNotesOffOnEveryChannel());
  EXPECT_EQ(keys.clears, 1);
  Sent().clear();
  form.N2->trigger();
  EXPECT_EQ(Sent(), AllNotesOffOnEveryChannel());
}

TEST_F(MainFormWiring, GmResetFromButtonAndMenuResetsEveryControl) {
  DragThumb(form.MyTrackBar1, 200);
  ASSERT_EQ(form.MyTrackBar1->Value(), 127);
  for (QAction* trigger : {static_cast<QAction*>(nullptr), form.GM1}) {
    midi.out->Clear();
    if (trigger == nullptr) {
      Click(form.SpeedButton7);
    } else {
      trigger->trigger();
    }
    ASSERT_EQ(midi.out->longs.size(), 1u);
    EXPECT_EQ(midi.out->longs[0], (std::vector<std::uint8_t>{0xF0, 0x7E, 0x7F, 0x09, 0x01, 0xF7}));
    EXPECT_EQ(Sent().size(), 80u);
    EXPECT_EQ(form.MyTrackBar1->Value(), 64);
  }
}

TEST_F(MainFormWiring, DualPlayFromButtonAndMenuKeepsTheButtonInStep) {
  Click(form.SpeedButton14);
  EXPECT_TRUE(engine.DualPlay());
  EXPECT_TRUE(form.SpeedButton14->isChecked());
  form.KD1->trigger();
  EXPECT_FALSE(engine.DualPlay());
  EXPECT_FALSE(form.SpeedButton14->isChecked());
  Click(form.SpeedButton14);
  Click(form.SpeedButton14);
  EXPECT_FALSE(engine.DualPlay());
}

TEST_F(MainFormWiring, MidiButtonAndMenuCloseAndReopenTheDevices) {
  ASSERT_TRUE(form.SpeedButton1->isChecked());
  Click(form.SpeedButton1);
  EXPECT_FALSE(midi.out->open);
  EXPECT_FALSE(engine.InputOpen());
  Click(form.SpeedButton1);
  EXPECT_TRUE(midi.out->open);
  EXPECT_EQ(Sent().size(), 80u) << "opening sends every channel's settings";
  form.KMIDI1->trigger();
  EXPECT_FALSE(midi.out->open);
  EXPECT_FALSE(form.SpeedButton1->isChecked());
  choice.out = -1;
  form.KMIDI1->trigger();
  EXPECT_EQ(prompter.messages.value(0), QStringLiteral("MIDI OUT デバイスを選択してください。"));
  EXPECT_TRUE(form.SpeedButton1->isChecked()) << "the menu presses the button whatever the outcome";
}

TEST_F(MainFormWiring, LinkCommandsFromToolbarAndMenus) {
  struct Case {
    std::function<void()> act;
    const char* expected;
  };
  const std::vector<Case> cases = {
      {[this] { Click(form.SpeedButton8); }, "dial1"},
      {[this] { Click(form.SpeedButton9); }, "dial2"},
      {[this] { Click(form.SpeedButton10); }, "dial3"},
      {[this] { Click(form.SpeedButton11); }, "dial4"},
      {[this] { Click(form.SpeedButton12); }, "dial5"},
      {[this] { form.destinationItems[0]->trigger(); }, "dial1"},
      {[this] { form.destinationItems[1]->trigger(); }, "dial2"},
      {[this] { form.destinationItems[2]->trigger(); }, "dial3"},
      {[this] { form.destinationItems[3]->trigger(); }, "dial4"},
      {[this] { form.destinationItems[4]->trigger(); }, "dial5"},
      {[this] { Click(form.SpeedButton13); }, "wait"},
      {[this] { form.K8->trigger(); }, "wait"},
      {[this] { form.KAddress->trigger(); }, "copyAddress"},
      {[this] { Click(form.SpeedButton3); }, "hangUp"},
      {[this] { form.K9->trigger(); }, "hangUp"},
      {[this] { Click(form.SpeedButton6); }, "comOpen"},
      {[this] { Click(form.SpeedButton6); }, "comClose"},
      {[this] { form.KCOM1->trigger(); }, "comMenu"},
      {[this] { form.K10->trigger(); }, "settings"},
      {[this] { form.Help1->trigger(); }, "about"},
      {[this] { QTest::mouseClick(form.Button5, Qt::LeftButton); }, "send"},
      {[this] {
         // Return where the window system sends it: to the focus widget, the combo box.
         form.activateWindow();
         ASSERT_TRUE(QTest::qWaitForWindowActive(&form));
         form.FocusInput();
         QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
       },
       "send"},
      {[this] { QTest::mouseClick(form.Ekisyou2, Qt::LeftButton); }, "toneListLocal"},
      {[this] { QTest::mouseClick(form.Ekisyou1, Qt::LeftButton); }, "toneListRemote"},
      {[this] { form.Timer1->start(1); }, "tick"},
      {[this] { Click(form.SpeedButton5); }, "clear"},
      {[this] { QTest::mouseClick(form.Memo1->viewport(), Qt::LeftButton, {}, QPoint(20, 20)); },
       "memo1Click"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.expected);
    calls.clear();
    c.act();
    if (QString::fromLatin1(c.expected) == QStringLiteral("tick")) {
      EXPECT_TRUE(QTest::qWaitFor([this] { return !calls.isEmpty(); }));
      form.Timer1->stop();
    }
    EXPECT_EQ(calls, QStringList{QString::fromLatin1(c.expected)});
  }
}

TEST_F(MainFormWiring, ExitClosesTheDevicesThenTheWindow) {
  form.Exit1->trigger();
  EXPECT_FALSE(midi.out->open);
  EXPECT_EQ(midi.out->resets, 1);
  EXPECT_FALSE(form.isVisible());
  EXPECT_EQ(calls, QStringList{QStringLiteral("formClose")});
}

// --------------------------------------------------------------------------- part panels

TEST_F(MainFormWiring, SlidersSendOnTheirPartsChannelAndNothingToThePeer) {
  link.connected = true;
  for (int i = 0; i < 3; ++i) StepUp(form.UpDownButton1);  // local part to channel 3
  EXPECT_EQ(form.Ekisyou3->Value(), 4);
  EXPECT_EQ(engine.LocalChannel(), 3);
  Sent().clear();
  DragThumb(form.MyTrackBarV1, 200);  // the user pulls the volume all the way down
  EXPECT_EQ(Sent(), (std::vector<ShortMessage>{Cc(3, 7, 0)}));
  EXPECT_EQ(engine.Channels().volume[3], 0);
  struct Slider {
    TrackBarBase* bar;
    int channel;
    int controller;
  };
  const Slider sliders[] = {{form.MyTrackBar1, 3, 10}, {form.MyTrackBar2, 3, 91}, {form.MyTrackBar3, 3, 93},
                            {form.MyTrackBar6, 1, 10}, {form.MyTrackBar5, 1, 91}, {form.MyTrackBar4, 1, 93},
                            {form.MyTrackBarV2, 1, 7}};
  for (const Slider& s : sliders) {
    SCOPED_TRACE(s.bar->objectName().toStdString());
    Sent().clear();
    DragThumb(s.bar, s.bar->width() > s.bar->height() ? 200 : -200);  // to the top end
    EXPECT_EQ(Sent(), (std::vector<ShortMessage>{Cc(s.channel, s.controller, 127)}));
  }
  EXPECT_TRUE(link.frames.empty());
}

TEST_F(MainFormWiring, ChannelSpinResendsEverythingAndLoadsTheChannelsValues) {
  engine.Channels().pan[1] = 20;
  StepUp(form.UpDownButton1);  // local to channel 1, which the remote part uses too
  EXPECT_EQ(Sent().size(), 80u);
  EXPECT_EQ(form.Ekisyou3->Value(), 2);
  EXPECT_EQ(form.MyTrackBar1->Value(), 20);
  Sent().clear();
  DragThumb(form.MyTrackBar6, -200);
  EXPECT_EQ(form.MyTrackBar1->Value(), 0) << "both parts on one channel move together";
  EXPECT_EQ(Sent(), (std::vector<ShortMessage>{Cc(1, 10, 0)})) << "and only one message is sent";
}

TEST_F(MainFormWiring, LocalProgramGoesToThePeerAndRemoteProgramComesBack) {
  link.connected = true;
  StepUp(form.UpDownButton2);
  EXPECT_EQ(form.Ekisyou2->Value(), 1);
  EXPECT_EQ(Sent(), (std::vector<ShortMessage>{PackShort(0xC0, 1, 0), PackShort(0xC0, 1, 0)}));
  ASSERT_EQ(link.frames.size(), 1u);
  EXPECT_EQ(link.frames[0], (std::vector<std::uint8_t>{0xFF, 0xC0, 0x01, 0x00}));

  engine.PlayRemote(PackShort(0xC0, 24, 0));
  EXPECT_EQ(form.Ekisyou1->Value(), 24);
  EXPECT_EQ(form.UpDownButton3->Value(), 24);
  link.frames.clear();
  StepUp(form.UpDownButton3);
  EXPECT_EQ(engine.Channels().program[1], 25);
  EXPECT_TRUE(link.frames.empty()) << "the remote part's program stays here";
}

TEST_F(MainFormWiring, NotesMoveTheMetersAndMarkTheKeyboard) {
  engine.PlayLocal(PackShort(0x90, 60, 100));
  EXPECT_EQ(form.LevelMeter1->Value(), 100);
  engine.PlayRemote(PackShort(0x90, 64, 90));
  EXPECT_EQ(form.LevelMeter2->Value(), 90);
  EXPECT_EQ(keys.down, (std::vector<std::pair<int, Side>>{{60, Side::Local}, {64, Side::Remote}}));
  // Released keyboard button: no marks, and the remote meter stays.
  Click(form.SpeedButton2);
  EXPECT_FALSE(keyboard.isVisible());
  engine.PlayRemote(PackShort(0x90, 65, 30));
  EXPECT_EQ(form.LevelMeter2->Value(), 90);
  EXPECT_EQ(keys.down.size(), 2u);
}

// ------------------------------------------------------------------------ keyboard window

TEST_F(MainFormWiring, KeyboardButtonAndMenuHideAndShowIt) {
  Click(form.SpeedButton2);
  EXPECT_FALSE(keyboard.isVisible());
  EXPECT_FALSE(form.SpeedButton2->isChecked());
  form.K11->trigger();
  EXPECT_TRUE(keyboard.isVisible());
  EXPECT_TRUE(form.SpeedButton2->isChecked());
}

TEST_F(MainFormWiring, ShowingTheKeyboardPullsItBackOntoTheScreen) {
  const QSize screen = QApplication::primaryScreen()->geometry().size();
  const QSize outer = keyboard.frameGeometry().size();
  struct Case {
    QPoint stored;
    QPoint shown;
  };
  const Case cases[] = {
      {{screen.width() + 10, 40}, {screen.width() - outer.width(), 40}},
      {{40, screen.height() + 1}, {40, screen.height() - outer.height()}},
      {{-outer.width() - 1, 40}, {0, 40}},
      {{40, -outer.height() - 5}, {40, 0}},
      {{screen.width(), screen.height()}, {screen.width(), screen.height()}},  // on the edge: left alone
      {{-outer.width(), 7}, {-outer.width(), 7}},
  };
  for (const Case& c : cases) {
    keyboard.move(c.stored);
    form.Button11Click();  // hide
    ASSERT_FALSE(keyboard.isVisible());
    EXPECT_EQ(keyboard.frameGeometry().topLeft(), c.stored) << "hiding leaves it where it was";
    form.Button11Click();  // show
    EXPECT_EQ(keyboard.frameGeometry().topLeft(), c.shown) << c.stored.x() << "," << c.stored.y();
  }
}

// ------------------------------------------------------------------------------ the chat

TEST_F(MainFormWiring, ChatShowsTextAsItStandsNeverMarkup) {
  const QString hostile =
      QStringLiteral("<b>bold</b> <a href=\"http://x\">link</a> &amp; http://example.com");
  form.AppendChatLine(hostile);
  form.AppendChatLine(QStringLiteral("こんにちは"));
  EXPECT_EQ(form.Memo1->toPlainText(), QStringLiteral("\n") + hostile + QStringLiteral("\nこんにちは"))
      << "the window starts with one empty line";
  EXPECT_FALSE(form.Memo1->textInteractionFlags() & Qt::LinksAccessibleByMouse);
  form.ClearChat();
  form.AppendChatLine(QStringLiteral("after"));
  EXPECT_EQ(form.Memo1->toPlainText(), QStringLiteral("after"));
}

TEST_F(MainFormWiring, BothScrollBarsLetLongLinesRunOnAndVerticalAloneWrapsThem) {
  form.SetChatScrollBars(true);
  EXPECT_EQ(form.Memo1->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
  EXPECT_EQ(form.Memo1->lineWrapMode(), QPlainTextEdit::NoWrap);
  form.SetChatScrollBars(false);
  EXPECT_EQ(form.Memo1->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
  EXPECT_EQ(form.Memo1->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
  EXPECT_EQ(form.Memo1->lineWrapMode(), QPlainTextEdit::WidgetWidth);
}

TEST_F(MainFormWiring, FocusInputMovesTheFocusToTheInputLine) {
  form.Button5->setFocus();
  form.FocusInput();
  QWidget* focus = form.focusWidget();
  EXPECT_TRUE(focus == form.ComboBox1 || focus == form.ComboBox1->lineEdit());
}

TEST_F(MainFormWiring, HistoryIsShownNewestFirstKeepingTheTypedText) {
  form.SetInputText(QStringLiteral("typing"));
  form.ShowHistory({QStringLiteral("newer"), QStringLiteral("older")});
  EXPECT_EQ(form.History(), (QStringList{QStringLiteral("newer"), QStringLiteral("older")}));
  EXPECT_EQ(form.InputText(), QStringLiteral("typing"));
}

TEST_F(MainFormWiring, StatusPanelsAndClock) {
  form.SetStatusPanel(2, QStringLiteral("接続中"));
  form.SetStatusPanel(3, QStringLiteral("00:00:01"));
  EXPECT_EQ(form.StatusText(2), QStringLiteral("接続中"));
  EXPECT_EQ(form.StatusText(3), QStringLiteral("00:00:01"));
  EXPECT_FALSE(form.ClockRunning());
  form.SetClockTimer(true);
  EXPECT_TRUE(form.ClockRunning());
  EXPECT_EQ(form.Timer1->interval(), 1000);
  form.SetClockTimer(false);
  EXPECT_FALSE(form.ClockRunning());
}

// ---------------------------------------------------------------------------- tone files

class ToneFileCommands : public MainFormWiring {
 protected:
  // Types `name` into the file dialog that the next command opens, and accepts it.
  static void TypeIntoDialog(const QString& name) {
    WhenModal<QFileDialog>([name](QFileDialog& dialog) {
      auto* edit = dialog.findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
      ASSERT_NE(edit, nullptr);
      edit->setText(name);
      static_cast<QDialog&>(dialog).accept();
    });
  }
  static void CancelDialog() {
    WhenModal<QFileDialog>([](QFileDialog& dialog) { dialog.reject(); });
  }
  QString Path(const QString& name) const { return dir.filePath(name); }
  // A tone file whose third value is no number.
  void WriteBadFile(const QString& name) const {
    QFile file(Path(name));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("0\r\n1\r\nsixty\r\n");
  }

  void SetUp() override {
    ASSERT_TRUE(dir.isValid());
    form.OpenDialog1->setDirectory(dir.path());
    form.SaveDialog1->setDirectory(dir.path());
  }
  QTemporaryDir dir;
};

TEST_F(ToneFileCommands, DialogsOfferTheToneFileFilter) {
  EXPECT_EQ(form.OpenDialog1->nameFilters(), QStringList{QStringLiteral("音色ファイル(*.SNV)")});
  EXPECT_EQ(form.SaveDialog1->nameFilters(), QStringList{QStringLiteral("音色ファイル(*.SNV)")});
}

TEST_F(ToneFileCommands, SavedAndLoadedThroughTheDialogsRestoresEverything) {
  for (int i = 0; i < 2; ++i) StepUp(form.UpDownButton1);  // local part on channel 2
  DragThumb(form.MyTrackBarV1, 200);
  const ToneSetup saved = engine.CurrentToneSetup();

  TypeIntoDialog(QStringLiteral("mine"));  // no extension typed
  form.KS1Click();
  ASSERT_TRUE(QFile::exists(Path(QStringLiteral("mine.SNV"))));
  QFile file(Path(QStringLiteral("mine.SNV")));
  ASSERT_TRUE(file.open(QIODevice::ReadOnly));
  const QByteArray text = file.readAll();
  EXPECT_EQ(text.count("\r\n"), 82);
  EXPECT_TRUE(text.startsWith("2\r\n1\r\n"));
  file.close();

  Click(form.SpeedButton7);  // everything back to the defaults
  ASSERT_NE(engine.CurrentToneSetup(), saved);
  midi.out->Clear();
  TypeIntoDialog(QStringLiteral("mine.SNV"));
  form.KO1Click();
  EXPECT_EQ(engine.CurrentToneSetup(), saved);
  EXPECT_TRUE(engine.DualPlay());
  EXPECT_TRUE(form.SpeedButton14->isChecked());
  EXPECT_EQ(Sent().size(), 80u);
  EXPECT_EQ(form.Ekisyou3->Value(), 3);
  EXPECT_EQ(form.MyTrackBarV1->Value(), 0);
}

TEST_F(ToneFileCommands, SavingOverAFileAsksFirstAndCancelLeavesItAlone) {
  QFile file(Path(QStringLiteral("old.SNV")));
  ASSERT_TRUE(file.open(QIODevice::WriteOnly));
  file.write("keep");
  file.close();
  prompter.answer = false;
  TypeIntoDialog(QStringLiteral("old"));
  form.KS1Click();
  ASSERT_EQ(prompter.questions.size(), 1);
  EXPECT_EQ(prompter.questions[0], Path(QStringLiteral("old.SNV")) + QStringLiteral("を上書きしますか？"));
  ASSERT_TRUE(file.open(QIODevice::ReadOnly));
  EXPECT_EQ(file.readAll(), QByteArray("keep"));
  file.close();

  prompter.answer = true;
  TypeIntoDialog(QStringLiteral("old.SNV"));
  form.KS1Click();
  EXPECT_EQ(ToneFile::Read(Path(QStringLiteral("old.SNV"))), engine.CurrentToneSetup());
}

TEST_F(ToneFileCommands, CancelledDialogsDoNothing) {
  CancelDialog();
  form.KS1Click();
  EXPECT_TRUE(QDir(dir.path()).entryList(QDir::Files).isEmpty());
  CancelDialog();
  form.KO1Click();
  EXPECT_FALSE(engine.DualPlay());
  EXPECT_TRUE(Sent().empty());
}

TEST_F(ToneFileCommands, AMissingFileOnlyBeeps) {
  TypeIntoDialog(QStringLiteral("nothere.SNV"));
  form.KO1Click();
  EXPECT_EQ(prompter.beeps, 1);
  EXPECT_FALSE(engine.DualPlay());
  EXPECT_TRUE(Sent().empty());
}

// From the menu, as the user opens it: the error stops at the window's boundary and is reported.
TEST_F(ToneFileCommands, ABadFileOpenedFromTheMenuIsReportedAndChangesNothing) {
  WriteBadFile(QStringLiteral("bad.SNV"));
  const ToneSetup before = engine.CurrentToneSetup();
  TypeIntoDialog(QStringLiteral("bad.SNV"));
  EXPECT_NO_THROW(form.KO1->trigger());
  ASSERT_EQ(prompter.errors.size(), 1);
  EXPECT_FALSE(prompter.errors[0].isEmpty());
  EXPECT_EQ(engine.CurrentToneSetup(), before);
  EXPECT_TRUE(Sent().empty());
}

TEST_F(ToneFileCommands, ABadFileIsRejectedWithItsMessageAndChangesNothing) {
  WriteBadFile(QStringLiteral("bad.SNV"));
  const ToneSetup before = engine.CurrentToneSetup();
  TypeIntoDialog(QStringLiteral("bad.SNV"));
  try {
    form.KO1Click();
    ADD_FAILURE() << "a bad file must be rejected";
  } catch (const ToneFile::Error& e) {
    EXPECT_FALSE(e.Message().isEmpty());
  }
  EXPECT_EQ(engine.CurrentToneSetup(), before);
  EXPECT_FALSE(engine.DualPlay());
  EXPECT_TRUE(Sent().empty());
}

}  // namespace
