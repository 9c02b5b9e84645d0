#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QAbstractItemView>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTest>

#include "RecordingTarget.h"
#include "platform/midi/SystemMidi.h"
#include "settings/PagesDlg.h"
#include "support/PipeWireSession.h"
#include "support/RecordingMidi.h"
#include "support/XInput.h"

namespace {

// The engine's view and link, reduced to what these tests look at.
class QuietView final : public RoutingView {
 public:
  QStringList messages;
  bool MidiButtonPressed() const override { return pressed; }
  void SetMidiButton(bool p) override { pressed = p; }
  bool KeyboardShown() const override { return false; }
  void SetDualButton(bool) override {}
  void ShowMessage(const QString& text) override { messages << text; }
  void ReportError(const QString& text) override { messages << text; }
  void SetLevel(Side, int) override {}
  void ShowKeyDown(int, Side) override {}
  void ShowKeyUp(int, Side) override {}
  void ClearKeyMarks() override {}
  void ShowChannel(Side, int) override {}
  void ShowSetting(Side, Setting, int) override {}
  void RefreshDisplays() override {}
  bool pressed = false;
};

class NoLink final : public LinkPort {
 public:
  bool LinkUp() const override { return false; }
  void WriteUnit(std::span<const std::uint8_t>) override {}
};

// Remembers which device numbers were opened.
class CountingMidi final : public MidiSystem {
 public:
  FakeMidiSystem fake;
  std::vector<int> openedInputs;
  std::vector<int> openedOutputs;
  QStringList InputNames() override { return fake.InputNames(); }
  QStringList OutputNames() override { return fake.OutputNames(); }
  std::unique_ptr<MidiInput> OpenInput(int index, MidiInput::Handler handler) override {
    openedInputs.push_back(index);
    return fake.OpenInput(index, std::move(handler));
  }
  std::unique_ptr<MidiOutput> OpenOutput(int index) override {
    openedOutputs.push_back(index);
    return fake.OpenOutput(index);
  }
};

class PagesDlgTest : public ::testing::Test {
 protected:
  PagesDlgTest() {
    midi_.fake.inputNames = {"Keyboard A", "Keyboard B"};
    midi_.fake.outputNames = {"FluidSynth GM Synth", "Sound Module", "Sound Module", "Other Out"};
    QDir().mkpath(dev_.path());
    dlg_.SetMessageSink([this](const QString& text) { messages_ << text; });
    dlg_.onMidiDevicesChosen = [this] {
      engine_.CloseMidiDevices();
      engine_.OpenMidiDevices();
    };
  }

  QString Path() const { return dir_.filePath("Sonavel.ini"); }
  QByteArray FileBytes() const {
    QFile f(Path());
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
  }
  void WriteFile(const QByteArray& bytes) const {
    QFile f(Path());
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(bytes);
  }
  // Start-up as the main window runs it: load, apply, open the devices.
  void StartUp() {
    dlg_.LoadSettings();
    dlg_.ApplySettings();
    engine_.OpenMidiDevices();
  }
  void ClickRow(QListWidget* list, int row) {
    const QRect rect = list->visualItemRect(list->item(row));
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, rect.center());
  }

  QTemporaryDir dir_;
  QDir dev_{dir_.filePath("dev")};
  Profile profile_{Path()};
  SettingsStore store_{profile_};
  RecordingTarget target_;
  CountingMidi midi_;
  QStringList messages_;
  TPagesDlg dlg_{midi_, store_, target_, nullptr, dev_.path()};
  QuietView view_;
  NoLink link_;
  RoutingEngine engine_{midi_, view_, dlg_, link_};
};

// Types text as a keyboard with an input method would deliver it: one key event per character.
void Type(QWidget* widget, const QString& text) {
  for (const uint codePoint : text.toUcs4()) {
    const QString character = QString::fromUcs4(reinterpret_cast<const char32_t*>(&codePoint), 1);
    QKeyEvent press(QEvent::KeyPress, 0, Qt::NoModifier, character);
    QApplication::sendEvent(widget, &press);
    QKeyEvent release(QEvent::KeyRelease, 0, Qt::NoModifier, character);
    QApplication::sendEvent(widget, &release);
  }
}

// On an X display: opens the combo box's list by a click and clicks the entry where it shows.
bool ChooseByClicks(QComboBox* combo, const QString& entry) {
  // Left of the middle: the pointer may still be at the middle from the test before.
  if (!xinput::ClickAt(combo, combo->rect().center() - QPoint(8, 0))) return false;
  QAbstractItemView* list = combo->view();
  if (!QTest::qWaitFor([&] { return list->isVisible(); }) || !QTest::qWaitForWindowExposed(list->window()))
    return false;
  QTest::qWait(200);  // the list settles where it opens (and a click too soon after opening only closes it)
  const int row = combo->findText(entry);
  if (row < 0) return false;
  const QRect where = list->visualRect(combo->model()->index(row, 0));
  // The entry's row, in the middle of the list as it shows (the row may reach past its right edge).
  return xinput::ClickAt(list->viewport(), QPoint(list->viewport()->width() / 2, where.center().y())) &&
         QTest::qWaitFor([&] { return !list->isVisible(); });
}

QStringList Entries(const QComboBox* combo) {
  QStringList entries;
  for (int i = 0; i < combo->count(); ++i) entries << combo->itemText(i);
  return entries;
}

QStringList LabelsOf(const QWidget* page) {
  QStringList texts;
  for (const QLabel* label : page->findChildren<QLabel*>()) texts << label->text();
  return texts;
}

TEST_F(PagesDlgTest, CaptionPagesAndEveryEntryAreTheProgramsOwn) {
  EXPECT_EQ(dlg_.windowTitle(), QStringLiteral("各種設定"));
  EXPECT_EQ(dlg_.size(), QSize(406, 269));
  ASSERT_EQ(dlg_.PageControl1->count(), 5);
  const QStringList pages{QStringLiteral("ﾓﾃﾞﾑ"), QStringLiteral("ｼﾘｱﾙ"), QStringLiteral("接続先"),
                          QStringLiteral("ＭＩＤＩ"), QStringLiteral("その他")};
  for (int i = 0; i < 5; ++i) EXPECT_EQ(dlg_.PageControl1->tabText(i), pages[i]);
  EXPECT_EQ(dlg_.OKBtn->text(), "OK");
  EXPECT_TRUE(dlg_.OKBtn->isDefault());
  EXPECT_EQ(dlg_.CancelBtn->text(), QStringLiteral("ｷｬﾝｾﾙ"));
  EXPECT_EQ(dlg_.HelpBtn->text(), QStringLiteral("ﾍﾙﾌﾟ(&H)"));
  EXPECT_FALSE(dlg_.HelpBtn->isEnabled());

  dlg_.LoadSettings();
  EXPECT_EQ(Entries(dlg_.ComboBox1), QStringList({"COM1", "COM2", "COM3", "COM4", "COM5", "TCP/IP"}));
  EXPECT_EQ(Entries(dlg_.ComboBox2),
            QStringList({QStringLiteral("ﾄｰﾝ(ﾌﾟｯｼｭ)回線"), QStringLiteral("ﾊﾟﾙｽ(ﾀﾞｲｱﾙ)回線")}));
  EXPECT_EQ(Entries(dlg_.ComboBox3),
            QStringList({"110bps", "300bps", "600bps", "1200bps", "2400bps", "4800bps", "9600bps", "14400bps",
                         "19200bps", "38400bps", "56000bps", "128000bps", "256000bps",
                         QStringLiteral("ﾕｰｻﾞｰ定義'")}));
  EXPECT_EQ(Entries(dlg_.ComboBox4), QStringList({"7", "8"}));
  EXPECT_EQ(Entries(dlg_.ComboBox5), QStringList({"1", "2"}));
  EXPECT_EQ(Entries(dlg_.ComboBox6),
            QStringList({QStringLiteral("なし"), QStringLiteral("奇数"), QStringLiteral("偶数")}));
  EXPECT_EQ(Entries(dlg_.ComboBox7),
            QStringList({QStringLiteral("なし"), QStringLiteral("ﾊｰﾄﾞｳｪｱ"), "XON/XOFF"}));

  EXPECT_EQ(LabelsOf(dlg_.TabSheet1),
            QStringList({QStringLiteral("ﾎﾟｰﾄ"), QStringLiteral("電話回線"), QStringLiteral("着信ﾎﾟｰﾄ"),
                         QStringLiteral("ﾊﾟｽﾜｰﾄﾞ"), QStringLiteral("揺れ吸収"), QStringLiteral("１行目"),
                         QStringLiteral("２行目"), QStringLiteral("３行目")}));
  EXPECT_EQ(Entries(dlg_.ComboPlayout), QStringList({QStringLiteral("自動"), QStringLiteral("なし"), "10ms", "20ms",
                                                     "30ms", "50ms", "100ms", "200ms"}));
  EXPECT_EQ(dlg_.GroupBox1->title(), QStringLiteral("ﾓﾃﾞﾑの初期化ｺﾏﾝﾄﾞ"));
  EXPECT_EQ(LabelsOf(dlg_.TabSheet2),
            QStringList({QStringLiteral("通信速度"), QStringLiteral("ﾕｰｻﾞｰ定義"), QStringLiteral("ﾃﾞｰﾀﾋﾞｯﾄ"),
                         QStringLiteral("ｽﾄｯﾌﾟﾋﾞｯﾄ"), QStringLiteral("ﾊﾟﾘﾃｨ"), QStringLiteral("ﾌﾛｰ制御")}));
  EXPECT_EQ(LabelsOf(dlg_.TabSheet3),
            QStringList({QStringLiteral("名前"), QStringLiteral("電話番号"), QStringLiteral("接続先１"),
                         QStringLiteral("接続先２"), QStringLiteral("接続先３"), QStringLiteral("接続先４"),
                         QStringLiteral("接続先５")}));
  EXPECT_EQ(LabelsOf(dlg_.TabSheet4),
            QStringList({QStringLiteral("MIDI in ﾃﾞﾊﾞｲｽ"), QStringLiteral("MIDI out ﾃﾞﾊﾞｲｽ"),
                         QStringLiteral("内蔵ｼﾝｾのﾊﾞｯﾌｧ"), QStringLiteral("使用中: なし")}));
  EXPECT_EQ(LabelsOf(dlg_.TabSheet5),
            QStringList({QStringLiteral("名前"), QStringLiteral("漢字で４文字（英数字で８文字）まで"),
                         QStringLiteral("外線発信番号")}));
  EXPECT_EQ(dlg_.CheckBox2->text(), QStringLiteral("ログﾌｧｲﾙを作成する"));
  EXPECT_EQ(dlg_.CheckBox3->text(), QStringLiteral("ﾁｬｯﾄｳｨﾝﾄﾞｳに名前を表示する"));
}

TEST_F(PagesDlgTest, AFreshStartShowsEveryDefault) {
  dlg_.show();  // showing loads
  EXPECT_EQ(dlg_.ComboBox1->currentText(), "COM1");
  EXPECT_EQ(dlg_.ComboBox2->currentIndex(), 0);
  EXPECT_EQ(dlg_.Edit1->text(), "ATZ");
  EXPECT_EQ(dlg_.Edit2->text(), "ATE1Q0V1X3\\N3%C1");
  EXPECT_EQ(dlg_.Edit3->text(), "");
  EXPECT_EQ(dlg_.ComboBox3->currentText(), "19200bps");
  EXPECT_FALSE(dlg_.Edit5->isEnabled());
  EXPECT_EQ(dlg_.Edit5->text(), "14400");
  EXPECT_EQ(dlg_.ComboBox4->currentText(), "8");
  EXPECT_EQ(dlg_.ComboBox5->currentText(), "1");
  EXPECT_EQ(dlg_.ComboBox6->currentText(), QStringLiteral("なし"));
  EXPECT_EQ(dlg_.ComboBox7->currentText(), QStringLiteral("ﾊｰﾄﾞｳｪｱ"));
  const QLineEdit* names[] = {dlg_.Edit8, dlg_.Edit9, dlg_.Edit10, dlg_.Edit11, dlg_.Edit12};
  const QLineEdit* numbers[] = {dlg_.Edit13, dlg_.Edit14, dlg_.Edit15, dlg_.Edit16, dlg_.Edit17};
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(names[i]->text(), QStringLiteral("接続先%1").arg(i + 1));
    EXPECT_EQ(numbers[i]->text(), "");
  }
  EXPECT_EQ(dlg_.ListBox1->count(), 2);
  EXPECT_EQ(dlg_.ListBox2->count(), 4);
  EXPECT_EQ(dlg_.SelectedInput(), -1);
  EXPECT_EQ(dlg_.SelectedOutput(), -1);
  EXPECT_EQ(dlg_.Edit4->text(), "");
  EXPECT_EQ(dlg_.Edit6->text(), QStringLiteral("名前"));
  EXPECT_TRUE(dlg_.CheckBox2->isChecked());
  EXPECT_TRUE(dlg_.CheckBox3->isChecked());
  EXPECT_FALSE(QFile::exists(Path())) << "showing writes nothing";
}

TEST_F(PagesDlgTest, StartUpAppliesThePortAndDialogueDefaultsAndAsksForDevices) {
  StartUp();
  EXPECT_EQ(target_.Last("SetPort"), "1");
  EXPECT_EQ(target_.Last("SetDevicePath"), "");
  EXPECT_EQ(target_.Last("SetBaudRate"), "19200");
  EXPECT_EQ(target_.Last("SetByteSize"), "cbs8");
  EXPECT_EQ(target_.Last("SetStopBits"), "csb1");
  EXPECT_EQ(target_.Last("SetParityBits"), "cpbNone");
  EXPECT_EQ(target_.Last("SetFlowControls"), "cfcDtrDsr cfcRtsCts");
  EXPECT_EQ(target_.Last("SetLineType"), "0");
  EXPECT_EQ(target_.Last("SetUserName"), QStringLiteral("名前    "));
  EXPECT_EQ(target_.Last("SetDestinationHint"), QStringLiteral("5,接続先5|接続先5 に接続します"));
  EXPECT_TRUE(messages_.isEmpty());
  // No device chosen: the engine asks for both.
  EXPECT_EQ(view_.messages.size(), 2);
  EXPECT_TRUE(midi_.openedOutputs.empty());
}

TEST_F(PagesDlgTest, StoredDeviceNamesSelectTheLastEqualEntry) {
  WriteFile("[midi]\r\nMidiInDeviceName=Keyboard B\r\nMidiOutDeviceName=Sound Module\r\n");
  StartUp();
  EXPECT_EQ(dlg_.SelectedInput(), 1);
  EXPECT_EQ(dlg_.SelectedOutput(), 2) << "the higher of two equal names";
  EXPECT_EQ(midi_.openedInputs, std::vector<int>{1});
  EXPECT_EQ(midi_.openedOutputs, std::vector<int>{2});

  WriteFile("[midi]\r\nMidiInDeviceName=keyboard b\r\nMidiOutDeviceName=Gone\r\n");
  dlg_.LoadSettings();
  EXPECT_EQ(dlg_.SelectedInput(), -1) << "names compare exactly";
  EXPECT_EQ(dlg_.SelectedOutput(), -1);
}

// On a real X display: clicks into fields and on the port-map box, keys through the X server
// (into the masked password field too), and Return in a field presses the default button.
TEST_F(PagesDlgTest, OnX11ReturnInAFieldIsOkAndSavesWhatWasTyped) {
  if (const QString why = xinput::Unavailable(); !why.isEmpty()) GTEST_SKIP() << why.toStdString();
  StartUp();
  dlg_.show();
  dlg_.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&dlg_));
  for (QWidget* w = dlg_.Edit1; w != nullptr; w = w->parentWidget()) {
    if (dlg_.PageControl1->indexOf(w) >= 0) dlg_.PageControl1->setCurrentWidget(w);
  }
  ASSERT_TRUE(QTest::qWaitForWindowExposed(dlg_.Edit1->window()));
  ASSERT_TRUE(xinput::Click(dlg_.Edit1));
  ASSERT_TRUE(QTest::qWaitFor([&] { return dlg_.Edit1->hasFocus(); }));
  ASSERT_TRUE(xinput::Key(QStringLiteral("ctrl+a")));
  ASSERT_TRUE(xinput::Type(QStringLiteral("ATX3")));
  ASSERT_TRUE(QTest::qWaitFor([&] { return dlg_.Edit1->text() == QStringLiteral("ATX3"); }));
  ASSERT_TRUE(dlg_.CheckPortMap->isChecked());
  ASSERT_TRUE(xinput::Click(dlg_.CheckPortMap));
  ASSERT_TRUE(QTest::qWaitFor([&] { return !dlg_.CheckPortMap->isChecked(); }));
  ASSERT_TRUE(xinput::Click(dlg_.EditPassword));
  ASSERT_TRUE(QTest::qWaitFor([&] { return dlg_.EditPassword->hasFocus(); }));
  ASSERT_TRUE(xinput::Type(QStringLiteral("kagi7")));
  ASSERT_TRUE(QTest::qWaitFor([&] { return dlg_.EditPassword->text() == QStringLiteral("kagi7"); }));
  // The playout: its list opens under the pointer, the next entry after 自動 is なし.
  ASSERT_EQ(dlg_.ComboPlayout->currentText(), QStringLiteral("自動"));
  ASSERT_TRUE(xinput::Click(dlg_.ComboPlayout));
  ASSERT_TRUE(QTest::qWaitFor([&] { return dlg_.ComboPlayout->view()->isVisible(); }));
  ASSERT_TRUE(xinput::Key(QStringLiteral("Down")));
  ASSERT_TRUE(xinput::Key(QStringLiteral("Return")));
  ASSERT_TRUE(QTest::qWaitFor([&] { return !dlg_.ComboPlayout->view()->isVisible(); }));
  EXPECT_EQ(dlg_.ComboPlayout->currentText(), QStringLiteral("なし"));
  ASSERT_TRUE(xinput::Key(QStringLiteral("Return")));
  ASSERT_TRUE(QTest::qWaitFor([&] { return !dlg_.isVisible(); }));
  EXPECT_EQ(dlg_.result(), QDialog::Accepted);
  EXPECT_EQ(store_.Load().initCommands[0], "ATX3");
  EXPECT_TRUE(FileBytes().contains("\r\npassword=kagi7\r\nportmap=0\r\nplayout=0\r\n")) << FileBytes().toStdString();
}

// On a real X display: the playout's list opened by a click, an entry clicked where it shows,
// OK clicked; the choice is stored as the modem's S41 and handed to it. A stored value the list
// does not hold is shown as its own entry and can be left.
TEST_F(PagesDlgTest, OnX11AClickedPlayoutEntryIsStoredAndHandedToTheModem) {
  if (const QString why = xinput::Unavailable(); !why.isEmpty()) GTEST_SKIP() << why.toStdString();
  struct Row {
    const char* stored;  // the INI's [modem] before
    const char* shown;
    const char* clicked;
    const char* written;
  } const rows[] = {
      {"", "自動", "30ms", "30"},
      {"playout=45\r\n", "45ms", "自動", "255"},
      {"playout=0\r\n", "なし", "200ms", "200"},
      {"playout=45\r\n", "45ms", "45ms", "45"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.clicked);
    WriteFile(QByteArray("[modem]\r\nport=0\r\n") + row.stored);
    StartUp();
    dlg_.show();
    dlg_.activateWindow();
    dlg_.PageControl1->setCurrentWidget(dlg_.TabSheet1);
    ASSERT_TRUE(QTest::qWaitForWindowActive(&dlg_));
    ASSERT_TRUE(QTest::qWaitForWindowExposed(dlg_.ComboPlayout->window()));
    EXPECT_EQ(dlg_.ComboPlayout->currentText(), QString::fromUtf8(row.shown));
    ASSERT_TRUE(ChooseByClicks(dlg_.ComboPlayout, QString::fromUtf8(row.clicked)));
    EXPECT_EQ(dlg_.ComboPlayout->currentText(), QString::fromUtf8(row.clicked));
    ASSERT_TRUE(xinput::Click(dlg_.OKBtn));
    ASSERT_TRUE(QTest::qWaitFor([&] { return !dlg_.isVisible(); }));
    EXPECT_TRUE(FileBytes().contains(QByteArray("\r\nplayout=") + row.written + "\r\n")) << FileBytes().toStdString();
    EXPECT_EQ(target_.Last("SetPlayout"), row.written);
  }
}

// On a real X display, with the machine's own MIDI devices and the built-in synth in a headless
// PipeWire: a buffer clicked in the list where it shows is stored, and the synth opens again with
// it, which the page shows the next time.
TEST(PagesDlgOnPipeWire, OnX11AClickedSynthBufferIsStoredAndTheSynthOpensAgainWithIt) {
  if (const QString why = xinput::Unavailable(); !why.isEmpty()) GTEST_SKIP() << why.toStdString();
  PipeWireSession session;
  if (!session.Running()) GTEST_SKIP() << "no headless PipeWire: " << session.Error();
  QTemporaryDir dir;
  Profile profile(dir.filePath("Sonavel.ini"));
  profile.WriteString("midi", "MidiOutDeviceName", QString::fromLatin1(GmSynth::kDeviceName));
  profile.WriteInt("midi", "SynthBuffer", 128);
  SettingsStore store(profile);
  SystemMidi midi;
  RecordingTarget target;
  target.synthOutput = [&midi](const QString& driver, int frames) {
    GmSynth::Options options;
    options.audioDriver = driver;
    options.bufferFrames = frames;
    midi.SetSynthOptions(options);
  };
  TPagesDlg dlg(midi, store, target, nullptr, dir.path());
  QuietView view;
  NoLink link;
  RoutingEngine engine(midi, view, dlg, link);
  dlg.onMidiDevicesChosen = [&] {
    engine.CloseMidiDevices();
    engine.OpenMidiDevices();
  };
  dlg.LoadSettings();
  dlg.ApplySettings();
  engine.OpenMidiDevices();
  ASSERT_TRUE(engine.OutputOpen());

  const auto showMidiPage = [&](int frames) {
    // The granted period is known once the stream streams.
    EXPECT_TRUE(
        QTest::qWaitFor([&] { return midi.SynthOutputState().contains(QString::number(frames)); }, 5000));
    dlg.show();
    dlg.activateWindow();
    dlg.PageControl1->setCurrentWidget(dlg.TabSheet4);
    return QTest::qWaitForWindowActive(&dlg) &&
           QTest::qWaitForWindowExposed(dlg.ComboBoxSynthBuffer->window());
  };
  ASSERT_TRUE(showMidiPage(128));
  EXPECT_EQ(dlg.LabelSynthState->text(), QStringLiteral("使用中: PipeWire 128 ﾌﾚｰﾑ (2.7 ms, 48000 Hz)"));
  ASSERT_TRUE(ChooseByClicks(dlg.ComboBoxSynthBuffer, QStringLiteral("256 ﾌﾚｰﾑ (5.3 ms)")));
  EXPECT_EQ(dlg.ComboBoxSynthBuffer->currentText(), QStringLiteral("256 ﾌﾚｰﾑ (5.3 ms)"));
  ASSERT_TRUE(xinput::Click(dlg.OKBtn));
  ASSERT_TRUE(QTest::qWaitFor([&] { return !dlg.isVisible(); }));
  EXPECT_EQ(profile.ReadInt("midi", "SynthBuffer", 0), 256);

  ASSERT_TRUE(showMidiPage(256));
  EXPECT_EQ(dlg.LabelSynthState->text(), QStringLiteral("使用中: PipeWire 256 ﾌﾚｰﾑ (5.3 ms, 48000 Hz)"));
  dlg.reject();
}

TEST_F(PagesDlgTest, OkWithoutTouchingAMidiListSavesAppliesAndLeavesTheDevicesOpen) {
  WriteFile("[midi]\r\nMidiInDeviceName=Keyboard A\r\nMidiOutDeviceName=FluidSynth GM Synth\r\n");
  StartUp();
  dlg_.show();
  dlg_.Edit1->setText("AT&F");
  dlg_.ComboBox7->setCurrentIndex(2);
  target_.calls.clear();
  QTest::mouseClick(dlg_.OKBtn, Qt::LeftButton);

  EXPECT_FALSE(dlg_.isVisible());
  EXPECT_EQ(dlg_.result(), QDialog::Accepted);
  EXPECT_EQ(store_.Load().initCommands[0], "AT&F");
  EXPECT_EQ(store_.Load().flow, 2);
  EXPECT_EQ(target_.Last("SetInitCommand"), "3,");
  EXPECT_TRUE(target_.calls.contains("SetInitCommand(1,AT&F)"));
  EXPECT_EQ(target_.Last("SetFlowControls"), "cfcDtrDsr cfcXonXoff");
  EXPECT_FALSE(dlg_.MidiListTouched());
  EXPECT_EQ(midi_.openedOutputs.size(), 1u) << "no reopening";
  EXPECT_TRUE(engine_.OutputOpen());
}

TEST_F(PagesDlgTest, OkAfterAMidiListWasClickedReopensTheDevicesEveryTimeFromThenOn) {
  WriteFile("[midi]\r\nMidiInDeviceName=Keyboard A\r\nMidiOutDeviceName=FluidSynth GM Synth\r\n");
  StartUp();
  dlg_.show();
  dlg_.PageControl1->setCurrentIndex(3);
  ClickRow(dlg_.ListBox2, 3);
  EXPECT_TRUE(dlg_.MidiListTouched());
  EXPECT_EQ(dlg_.SelectedOutput(), 3);
  dlg_.OKBtnClick();
  EXPECT_EQ(midi_.openedOutputs, (std::vector<int>{0, 3}));
  EXPECT_EQ(midi_.openedInputs, (std::vector<int>{0, 0}));
  EXPECT_EQ(store_.Load().midiOutName, "Other Out");
  EXPECT_GE(midi_.fake.out->resets, 1) << "the old output was reset when it closed";

  dlg_.show();
  dlg_.OKBtnClick();
  EXPECT_EQ(midi_.openedOutputs, (std::vector<int>{0, 3, 3})) << "touched stays set for the run";
}

TEST_F(PagesDlgTest, AKeyInAMidiListCountsAsTouchingIt) {
  dlg_.show();
  dlg_.PageControl1->setCurrentIndex(3);
  dlg_.ListBox1->setFocus();
  QTest::keyClick(dlg_.ListBox1, Qt::Key_Tab);
  EXPECT_FALSE(dlg_.MidiListTouched()) << "Tab only leaves the list";
  dlg_.ListBox1->setFocus();
  QTest::keyClick(dlg_.ListBox1, Qt::Key_Down);
  EXPECT_TRUE(dlg_.MidiListTouched());
}

TEST_F(PagesDlgTest, CancelDiscardsEditsUntilTheNextShowing) {
  WriteFile("[modem]\r\ntext1=ATZ\r\n[midi]\r\nMidiOutDeviceName=FluidSynth GM Synth\r\n");
  const QByteArray before = FileBytes();
  dlg_.show();
  dlg_.Edit1->setText("AT&F");
  dlg_.Edit8->setText(QStringLiteral("新しい名前"));
  dlg_.PageControl1->setCurrentIndex(3);
  ClickRow(dlg_.ListBox2, 1);
  target_.calls.clear();
  QTest::mouseClick(dlg_.CancelBtn, Qt::LeftButton);

  EXPECT_FALSE(dlg_.isVisible());
  EXPECT_EQ(dlg_.result(), QDialog::Rejected);
  EXPECT_EQ(FileBytes(), before);
  EXPECT_TRUE(target_.calls.isEmpty()) << "nothing applied";
  EXPECT_EQ(dlg_.SelectedOutput(), 1) << "until the next showing the lists keep the choice";

  dlg_.show();
  EXPECT_EQ(dlg_.Edit1->text(), "ATZ");
  EXPECT_EQ(dlg_.Edit8->text(), QStringLiteral("接続先1"));
  EXPECT_EQ(dlg_.SelectedOutput(), 0);
}

TEST_F(PagesDlgTest, ChoosingTheUserDefinedSpeedEnablesItsField) {
  dlg_.show();
  for (int i = 0; i < dlg_.ComboBox3->count(); ++i) {
    dlg_.ComboBox3->setCurrentIndex(i);
    EXPECT_EQ(dlg_.Edit5->isEnabled(), i == 13) << "entry " << i;
  }
  // By keyboard, as the user does it.
  dlg_.ComboBox3->setCurrentIndex(12);
  dlg_.ComboBox3->setFocus();
  QTest::keyClick(dlg_.ComboBox3, Qt::Key_Down);
  EXPECT_EQ(dlg_.ComboBox3->currentIndex(), 13);
  EXPECT_TRUE(dlg_.Edit5->isEnabled());
}

TEST_F(PagesDlgTest, OkRefusesABadUserDefinedSpeedAndKeepsEverything) {
  for (const char* bad : {"abc", "0", "-9600", ""}) {
    messages_.clear();
    target_.calls.clear();
    dlg_.show();
    dlg_.Edit1->setText("AT&F");
    dlg_.ComboBox3->setCurrentIndex(13);
    dlg_.Edit5->setText(bad);
    dlg_.OKBtnClick();
    EXPECT_EQ(messages_, QStringList{UserSpeedRefusal()}) << bad;
    EXPECT_TRUE(dlg_.isVisible());
    EXPECT_EQ(dlg_.Edit5->text(), bad);
    EXPECT_EQ(dlg_.Edit1->text(), "AT&F");
    EXPECT_FALSE(QFile::exists(Path())) << "nothing saved";
    EXPECT_TRUE(target_.calls.isEmpty()) << "nothing applied";
    dlg_.CancelBtnClick();
  }

  dlg_.show();
  dlg_.ComboBox3->setCurrentIndex(13);
  dlg_.Edit5->setText("31250");
  dlg_.OKBtnClick();
  EXPECT_FALSE(dlg_.isVisible());
  EXPECT_EQ(target_.Last("SetBaudRateUserDefined"), "31250");
  EXPECT_EQ(target_.Last("SetBaudRate"), "-1");
}

TEST_F(PagesDlgTest, ABadUserSpeedInTheFileIsReportedOnceAtStartUpAndTheRestApplies) {
  WriteFile("[serial]\r\nspeed=13\r\nuser=fast\r\n[other]\r\nprintname=0\r\n");
  StartUp();
  ASSERT_EQ(messages_.size(), 1);
  EXPECT_TRUE(messages_[0].contains("fast"));
  EXPECT_EQ(target_.Last("SetBaudRateUserDefined"), "14400");
  EXPECT_EQ(target_.Last("SetBaudRate"), "-1");
  EXPECT_EQ(target_.Last("SetPrintName"), "0");
  EXPECT_EQ(view_.messages.size(), 2) << "start-up went on to open the devices";
}

TEST_F(PagesDlgTest, TheNameFieldTakesAtMostEightShiftJisBytes) {
  dlg_.show();
  dlg_.PageControl1->setCurrentIndex(4);
  dlg_.Edit6->clear();
  dlg_.Edit6->setFocus();
  Type(dlg_.Edit6, "abcdefghij");
  EXPECT_EQ(dlg_.Edit6->text(), "abcdefgh");

  dlg_.Edit6->clear();
  Type(dlg_.Edit6, QStringLiteral("名前名前名"));
  EXPECT_EQ(dlg_.Edit6->text(), QStringLiteral("名前名前"));

  dlg_.Edit6->clear();
  Type(dlg_.Edit6, QStringLiteral("ﾅﾏｴ名前ﾀﾛ"));
  EXPECT_EQ(dlg_.Edit6->text(), QStringLiteral("ﾅﾏｴ名前ﾀ"));

  dlg_.Edit6->clear();
  Type(dlg_.Edit6, QStringLiteral("名😀前"));
  EXPECT_EQ(dlg_.Edit6->text(), QStringLiteral("名前")) << "what the file cannot hold is refused";

  // A longer name from the file stays whole, and may be shortened.
  WriteFile(QByteArray("[syozai]\r\nname=") + "abcdefghijkl" + "\r\n");
  dlg_.LoadSettings();
  EXPECT_EQ(dlg_.Edit6->text(), "abcdefghijkl");
  dlg_.Edit6->setFocus();
  dlg_.Edit6->end(false);
  QTest::keyClick(dlg_.Edit6, Qt::Key_Backspace);
  EXPECT_EQ(dlg_.Edit6->text(), "abcdefghijk");
  Type(dlg_.Edit6, "z");
  EXPECT_EQ(dlg_.Edit6->text(), "abcdefghijk");
}

TEST_F(PagesDlgTest, SerialDevicesFollowTheComPortsAndAChosenOneIsStoredAsThePortDevice) {
  for (const char* name : {"ttyUSB0", "ttyACM1"}) {
    QFile f(dev_.filePath(name));
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
  }
  WriteFile("[modem]\r\nport=2\r\n");
  dlg_.show();
  ASSERT_EQ(dlg_.ComboBox1->count(), 8);
  EXPECT_EQ(dlg_.ComboBox1->itemText(5), dev_.filePath("ttyUSB0"));
  EXPECT_EQ(dlg_.ComboBox1->itemText(6), dev_.filePath("ttyACM1"));
  EXPECT_EQ(dlg_.ComboBox1->itemText(7), "TCP/IP");
  EXPECT_EQ(dlg_.ComboBox1->currentText(), "COM3");

  dlg_.ComboBox1->setCurrentIndex(5);
  dlg_.OKBtnClick();
  EXPECT_EQ(store_.Load().device, dev_.filePath("ttyUSB0"));
  EXPECT_EQ(store_.Load().port, 2) << "the COM port stays in the file";
  EXPECT_EQ(target_.Last("SetDevicePath"), dev_.filePath("ttyUSB0"));
  EXPECT_EQ(target_.Last("SetPort"), "3");

  // A typed path that is not there (an adapter plugged in later) is kept and shown again.
  dlg_.show();
  EXPECT_EQ(dlg_.ComboBox1->currentText(), dev_.filePath("ttyUSB0"));
  dlg_.ComboBox1->setEditText("/dev/ttyUSB7");
  dlg_.OKBtnClick();
  dlg_.show();
  EXPECT_EQ(dlg_.ComboBox1->currentText(), "/dev/ttyUSB7");
  EXPECT_EQ(dlg_.ComboBox1->count(), 9);

  // The built-in modem: stored as "tcp" with its port for calls; the COM port stays for Windows.
  dlg_.ComboBox1->setCurrentIndex(7);
  dlg_.EditListen->setText("5000");
  // The call password: typed into the masked field beside the port, kept as Shift-JIS.
  EXPECT_EQ(dlg_.EditPassword->echoMode(), QLineEdit::Password);
  EXPECT_EQ(dlg_.EditPassword->text(), "");
  dlg_.EditPassword->setFocus();
  Type(dlg_.EditPassword, QStringLiteral("ｿﾅ秘密7"));
  messages_.clear();
  dlg_.OKBtnClick();
  // Five letters: saved as typed, with a warning once, not again at the next OK.
  ASSERT_EQ(messages_.size(), 1);
  EXPECT_TRUE(messages_[0].contains(QStringLiteral("5 文字"))) << messages_[0].toStdString();
  EXPECT_TRUE(
      FileBytes().contains("port=2\r\ndevice=tcp\r\nlisten=5000\r\npassword=\xBF\xC5\x94\xE9\x96\xA7"
                           "7\r\n"));
  EXPECT_EQ(target_.Last("SetDevicePath"), "tcp");
  EXPECT_EQ(target_.Last("SetListenPort"), "5000");
  EXPECT_EQ(target_.Last("SetModemPassword"), QStringLiteral("ｿﾅ秘密7"));
  dlg_.show();
  EXPECT_EQ(dlg_.ComboBox1->currentText(), "TCP/IP");
  EXPECT_EQ(dlg_.EditListen->text(), "5000");
  EXPECT_EQ(dlg_.EditPassword->text(), QStringLiteral("ｿﾅ秘密7"));
  // The router's port is opened unless the player says otherwise.
  EXPECT_TRUE(dlg_.CheckPortMap->isChecked());
  dlg_.CheckPortMap->setChecked(false);
  dlg_.OKBtnClick();
  EXPECT_TRUE(FileBytes().contains("7\r\nportmap=0\r\nplayout=255\r\nteltype="));
  EXPECT_EQ(messages_.size(), 1);
  EXPECT_EQ(target_.Last("SetPortMap"), "0");
  EXPECT_EQ(target_.Last("SetPlayout"), "255");
  dlg_.show();
  EXPECT_FALSE(dlg_.CheckPortMap->isChecked());
  dlg_.EditListen->setText("65536");
  messages_.clear();
  dlg_.OKBtnClick();
  EXPECT_EQ(messages_, QStringList{ListenPortRefusal()});
  dlg_.EditListen->setText("5000");

  dlg_.ComboBox1->setCurrentIndex(1);
  dlg_.OKBtnClick();
  EXPECT_FALSE(FileBytes().contains("device=")) << "choosing COM2 removes the key";
  EXPECT_EQ(store_.Load().port, 1);
  EXPECT_EQ(target_.Last("SetDevicePath"), "");
  EXPECT_EQ(target_.Last("SetPort"), "2");

  messages_.clear();
  dlg_.show();
  dlg_.ComboBox1->setEditText("COM9");
  dlg_.OKBtnClick();
  EXPECT_EQ(messages_, QStringList{PortRefusal()});
  EXPECT_TRUE(dlg_.isVisible());
}

TEST_F(PagesDlgTest, AFailedSaveIsReportedAndTheDialogKeepsTheEdits) {
  ASSERT_TRUE(QDir(dir_.path()).mkdir("Sonavel.ini"));  // nothing may replace a folder
  dlg_.show();
  dlg_.Edit1->setText("AT&F");
  dlg_.OKBtnClick();
  ASSERT_EQ(messages_.size(), 1);
  EXPECT_TRUE(messages_[0].contains(Path())) << messages_[0].toStdString();
  EXPECT_TRUE(dlg_.isVisible());
  EXPECT_EQ(dlg_.Edit1->text(), "AT&F");
  EXPECT_TRUE(target_.calls.isEmpty()) << "a settings file that failed is not applied";
}

TEST_F(PagesDlgTest, EveryPageRendersForAPerson) {
  WriteFile(
      "[names]\r\ntelnumber1=03-1234-5678\r\n"
      "[midi]\r\nMidiInDeviceName=Keyboard A\r\nMidiOutDeviceName=FluidSynth GM Synth\r\n");
  const QByteArray outputRoot = qgetenv("SONAVEL_TEST_OUTPUT");
  const QString folder =
      (outputRoot.isEmpty() ? QDir::currentPath() : QString::fromLocal8Bit(outputRoot)) + "/settings";
  ASSERT_TRUE(QDir().mkpath(folder));
  dlg_.show();
  for (int i = 0; i < dlg_.PageControl1->count(); ++i) {
    dlg_.PageControl1->setCurrentIndex(i);
    // Nothing is cut off at the page's edge with the Japanese font in use.
    QWidget* page = dlg_.PageControl1->widget(i);
    for (const QWidget* child : page->findChildren<QWidget*>()) {
      const QWidget* parent = child->parentWidget();
      if (parent != page && parent != dlg_.GroupBox1) continue;  // the parts of a combo box or list
      EXPECT_TRUE(parent->rect().contains(child->geometry()))
          << "page " << i + 1 << ": " << child->metaObject()->className() << " "
          << child->objectName().toStdString() << " outside its parent";
    }
    const QImage image = dlg_.grab().toImage();
    EXPECT_EQ(image.size(), QSize(406, 269) * image.devicePixelRatio());
    const QString file = QStringLiteral("%1/page%2.png").arg(folder).arg(i + 1);
    EXPECT_TRUE(image.save(file)) << file.toStdString();
  }
}

}  // namespace
