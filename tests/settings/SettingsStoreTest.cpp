#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <sys/stat.h>

#include "RecordingTarget.h"
#include "settings/SerialDevices.h"
#include "settings/SettingsStore.h"
#include "support/TempIniFile.h"

namespace {

class SettingsStoreTest : public TempIniFile {
 protected:
  Profile profile_{Path()};
  SettingsStore store_{profile_};
};

// The dialog tests check the defaults as the controls show them; these are the ones no
// control shows.
TEST_F(SettingsStoreTest, MissingFileGivesTheDefaultOfEveryKey) {
  const Settings s = store_.Load();
  EXPECT_EQ(s, Settings{});
  EXPECT_EQ(s.device, "");
  EXPECT_EQ(s.midiInName, "nothing");
  EXPECT_EQ(s.midiOutName, "nothing");
  EXPECT_EQ(s.synthAudioDriver, "");
  EXPECT_TRUE(store_.ReadMakeLog());
}

TEST_F(SettingsStoreTest, MissingKeysGiveTheirDefaultsBesideThePresentOnes) {
  WriteFile("[modem]\r\nport=3\r\n[names]\r\nname2=\x8E\x52\x93\x63\r\n[other]\r\n");
  Settings expected;
  expected.port = 3;
  expected.destNames[1] = QStringLiteral("山田");
  EXPECT_EQ(store_.Load(), expected);
  EXPECT_TRUE(store_.ReadMakeLog());
}

// Linux device names are UTF-8 and may hold characters the Shift-JIS file cannot; the device
// chosen must still be the one selected on the next start.
TEST_F(SettingsStoreTest, ADeviceNameShiftJisCannotHoldStillSelectsItsDeviceAfterSaving) {
  const QStringList outputs{"Sonavel GM Synth", QStringLiteral("Café MIDI® 1"), "Other"};
  const QStringList inputs{QStringLiteral("Keys — Port 1"), "Keys Port 1"};
  Settings s;
  s.midiOutName = outputs[1];
  s.midiInName = inputs[0];
  store_.Save(s);
  const Settings loaded = store_.Load();
  EXPECT_EQ(SelectByName(outputs, *loaded.midiOutName), 1);
  EXPECT_EQ(SelectByName(inputs, *loaded.midiInName), 0);
}

Settings EveryKeyChanged() {
  Settings s;
  s.port = 3;
  s.device = "/dev/ttyUSB0";
  s.password = QStringLiteral("ｿﾅﾍﾞﾙ 合言葉");
  s.telType = 1;
  s.initCommands = {"AT&F", "ATX4", "AT&C1"};
  s.speed = 13;
  s.userSpeed = "31250";
  s.dataBits = 0;
  s.stopBits = 1;
  s.parity = 2;
  s.flow = 2;
  for (int i = 0; i < 5; ++i) {
    s.destNames[static_cast<std::size_t>(i)] = QStringLiteral("山田ﾀﾛｳ%1").arg(i);
    s.destNumbers[static_cast<std::size_t>(i)] = QStringLiteral("03-1234-000%1").arg(i);
  }
  s.midiInName = QStringLiteral("USB ｷｰﾎﾞｰﾄﾞ");
  s.midiOutName = QStringLiteral("FluidSynth GM Synth");
  s.outsideLinePrefix = "0,";
  s.userName = QStringLiteral("ソナベル");
  s.makeLog = false;
  s.printName = false;
  return s;
}

TEST_F(SettingsStoreTest, TheSynthBufferIsOneOfTheChoicesOrTheDefault) {
  const struct {
    const char* key;
    int read;
  } cases[] = {{"SynthBuffer=64", 64}, {"SynthBuffer=512", 512}, {"SynthBuffer=100", 128},
               {"SynthBuffer=-5", 128}, {"SynthBuffer=lots", 128}, {"", 128}};
  for (const auto& c : cases) {
    WriteFile(QByteArray("[midi]\r\n") + c.key + "\r\nSynthAudioDriver=jack\r\n");
    const Settings s = store_.Load();
    EXPECT_EQ(s.synthBuffer, c.read) << c.key;
    EXPECT_EQ(s.synthAudioDriver, QStringLiteral("jack")) << "the older key still reads";
  }
}

TEST_F(SettingsStoreTest, SavedSettingsReadBackKeyForKey) {
  const Settings saved = EveryKeyChanged();
  store_.Save(saved);
  EXPECT_EQ(store_.Load(), saved);
  EXPECT_FALSE(store_.ReadMakeLog());
}

TEST_F(SettingsStoreTest, ANewFileGetsItsSectionsAndKeysInSavingOrder) {
  store_.Save(Settings{});
  const QByteArray expected =
      "[modem]\r\nport=0\r\nlisten=24680\r\npassword=\r\nportmap=1\r\nplayout=255\r\nteltype=0\r\ntext1=ATZ\r\ntext2=ATE1Q0V1X3\\N3%C1\r\ntext3=\r\n"
      "[serial]\r\nspeed=8\r\nuser=14400\r\ndata=1\r\nstop=0\r\nparity=0\r\nflow=1\r\n"
      "[names]\r\nname1=\x90\xDA\x91\xB1\x90\xE6"
      "1\r\nname2=\x90\xDA\x91\xB1\x90\xE6"
      "2\r\n"
      "name3=\x90\xDA\x91\xB1\x90\xE6"
      "3\r\nname4=\x90\xDA\x91\xB1\x90\xE6"
      "4\r\n"
      "name5=\x90\xDA\x91\xB1\x90\xE6"
      "5\r\n"
      "telnumber1=\r\ntelnumber2=\r\ntelnumber3=\r\ntelnumber4=\r\ntelnumber5=\r\n"
      "[midi]\r\nMidiInDeviceName=nothing\r\nMidiOutDeviceName=nothing\r\nSynthBuffer=128\r\n"
      "[syozai]\r\nnum=\r\nname=\x96\xBC\x91\x4F\r\n"
      "[other]\r\nmakelog=1\r\nprintname=1\r\n";
  EXPECT_EQ(FileBytes(), expected);
}

TEST_F(SettingsStoreTest, DeviceNamesWithoutASelectionLeaveTheFileAlone) {
  WriteFile("[midi]\r\nMidiInDeviceName=Old In\r\nMidiOutDeviceName=Old Out\r\n");
  Settings s;
  s.midiInName.reset();
  s.midiOutName = QStringLiteral("New Out");
  store_.Save(s);
  const Settings loaded = store_.Load();
  EXPECT_EQ(loaded.midiInName, "Old In");
  EXPECT_EQ(loaded.midiOutName, "New Out");
}

TEST_F(SettingsStoreTest, ThePortDeviceKeyIsPresentOnlyWhileAPathIsChosen) {
  Settings s;
  s.device = "/dev/ttyACM0";
  store_.Save(s);
  EXPECT_TRUE(FileBytes().contains("[modem]\r\nport=0\r\ndevice=/dev/ttyACM0\r\n"));
  s.device.clear();
  store_.Save(s);
  EXPECT_FALSE(FileBytes().contains("device"));
  EXPECT_EQ(store_.Load().device, "");
}

// A call password is a secret: the file holding one is its owner's alone, whichever way the
// password got there, while a file without one keeps the mode it has.
TEST_F(SettingsStoreTest, AFileHoldingAPasswordIsReadableByItsOwnerAlone) {
  struct Row {
    const char* name;
    QByteArray before;  // the file as it stands before the program touches it; empty: none
    const char* password;  // saved by the program; null: only loaded
    mode_t expected;
  };
  const Row rows[] = {
      {"a new file saved with a password", {}, "hunter22", 0600},
      {"a wide file saved with a password", "[modem]\r\nport=1\r\n", "hunter22", 0600},
      {"a wide file holding one is narrowed on loading", "[modem]\r\npassword=hunter22\r\n", nullptr, 0600},
      {"a file without one keeps its mode", "[modem]\r\nport=1\r\n", "", 0644},
      {"loading a file without one changes nothing", "[modem]\r\npassword=\r\n", nullptr, 0644},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    QFile::remove(Path());
    Profile profile(Path());
    SettingsStore store(profile);
    if (!row.before.isEmpty()) {
      WriteFile(row.before);
      ASSERT_EQ(::chmod(QFile::encodeName(Path()).constData(), 0644), 0);
    }
    if (row.password) {
      Settings s;
      s.password = QString::fromLatin1(row.password);
      store.Save(s);
      EXPECT_EQ(store.Load().password, QString::fromLatin1(row.password));
    } else {
      store.Load();
    }
    struct stat st {};
    ASSERT_EQ(::stat(QFile::encodeName(Path()).constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, row.expected);
  }
}

TEST_F(SettingsStoreTest, IndexesOutsideTheirListAndJunkGiveTheKeysDefault) {
  struct Case {
    const char* section;
    const char* key;
    const char* text;
    int Settings::*member;
    int expected;
  };
  const Case cases[] = {
      {"modem", "port", "4", &Settings::port, 4},        {"modem", "port", "5", &Settings::port, 0},
      {"modem", "port", "-1", &Settings::port, 0},       {"modem", "port", "0x2", &Settings::port, 2},
      {"modem", "port", "COM3", &Settings::port, 0},     {"modem", "teltype", "2", &Settings::telType, 0},
      {"modem", "teltype", "1", &Settings::telType, 1},  {"serial", "speed", "13", &Settings::speed, 13},
      {"serial", "speed", "14", &Settings::speed, 8},    {"serial", "speed", "fast", &Settings::speed, 8},
      {"serial", "speed", "0x0D", &Settings::speed, 13}, {"serial", "data", "2", &Settings::dataBits, 1},
      {"serial", "data", "0", &Settings::dataBits, 0},   {"serial", "stop", "2", &Settings::stopBits, 0},
      {"serial", "parity", "3", &Settings::parity, 0},   {"serial", "parity", "2", &Settings::parity, 2},
      {"serial", "flow", "3", &Settings::flow, 1},       {"serial", "flow", "0", &Settings::flow, 0},
  };
  for (const Case& c : cases) {
    WriteFile(QByteArray("[") + c.section + "]\r\n" + c.key + "=" + c.text + "\r\n");
    EXPECT_EQ(store_.Load().*c.member, c.expected) << c.key << "=" << c.text;
  }

  WriteFile("[other]\r\nmakelog=0x0\r\nprintname=yes\r\n[midi]\r\nSynthAudioDriver=alsa\r\n");
  const Settings s = store_.Load();
  EXPECT_FALSE(s.makeLog);
  EXPECT_TRUE(s.printName) << "not a number: the default";
  EXPECT_EQ(s.synthAudioDriver, "alsa");
}

TEST(ApplySettings, DefaultsGiveTheFactoryLineSettingsInOrder) {
  RecordingTarget target;
  EXPECT_FALSE(ApplySettings(Settings{}, target).has_value());
  const QStringList expected{
      "SetPort(1)",
      "SetDevicePath()",
      "SetListenPort(24680)",
      "SetModemPassword()",
      "SetPortMap(1)",
      "SetPlayout(255)",
      "SetLineType(0)",
      "SetInitCommand(1,ATZ)",
      "SetInitCommand(2,ATE1Q0V1X3\\N3%C1)",
      "SetInitCommand(3,)",
      "SetBaudRate(19200)",
      "SetByteSize(cbs8)",
      "SetStopBits(csb1)",
      "SetParityBits(cpbNone)",
      "SetFlowControls(cfcDtrDsr cfcRtsCts)",
      "SetOutsideLinePrefix()",
      QStringLiteral("SetDestName(1,接続先1)"),
      QStringLiteral("SetDestName(2,接続先2)"),
      QStringLiteral("SetDestName(3,接続先3)"),
      QStringLiteral("SetDestName(4,接続先4)"),
      QStringLiteral("SetDestName(5,接続先5)"),
      "SetDestNumber(1,)",
      "SetDestNumber(2,)",
      "SetDestNumber(3,)",
      "SetDestNumber(4,)",
      "SetDestNumber(5,)",
      QStringLiteral("SetDestinationHint(1,接続先1|接続先1 に接続します)"),
      QStringLiteral("SetDestinationMenuCaption(1,接続先1)"),
      QStringLiteral("SetDestinationHint(2,接続先2|接続先2 に接続します)"),
      QStringLiteral("SetDestinationMenuCaption(2,接続先2)"),
      QStringLiteral("SetDestinationHint(3,接続先3|接続先3 に接続します)"),
      QStringLiteral("SetDestinationMenuCaption(3,接続先3)"),
      QStringLiteral("SetDestinationHint(4,接続先4|接続先4 に接続します)"),
      QStringLiteral("SetDestinationMenuCaption(4,接続先4)"),
      QStringLiteral("SetDestinationHint(5,接続先5|接続先5 に接続します)"),
      QStringLiteral("SetDestinationMenuCaption(5,接続先5)"),
      QStringLiteral("SetUserName(名前    )"),
      "SetPrintName(1)",
      "SetSynthOutput(,128)",
  };
  EXPECT_EQ(target.calls, expected);
}

TEST(ApplySettings, EveryListEntryMapsToItsPortValue) {
  for (int speed = 0; speed < 13; ++speed) {
    Settings s;
    s.speed = speed;
    RecordingTarget target;
    ApplySettings(s, target);
    EXPECT_EQ(target.Last("SetBaudRate"), QString::number(kSpeedRates[static_cast<std::size_t>(speed)]));
    EXPECT_EQ(target.Last("SetBaudRateUserDefined"), QString()) << "only the user-defined entry sets it";
  }
  EXPECT_EQ(kSpeedRates.front(), 110);
  EXPECT_EQ(kSpeedRates[7], 14400);
  EXPECT_EQ(kSpeedRates.back(), 256000);

  struct Case {
    int Settings::*member;
    int index;
    const char* call;
    const char* value;
  };
  const Case cases[] = {
      {&Settings::dataBits, 0, "SetByteSize", "cbs7"},
      {&Settings::dataBits, 1, "SetByteSize", "cbs8"},
      {&Settings::stopBits, 1, "SetStopBits", "csb2"},
      {&Settings::parity, 1, "SetParityBits", "cpbOdd"},
      {&Settings::parity, 2, "SetParityBits", "cpbEven"},
      {&Settings::flow, 0, "SetFlowControls", "cfcDtrDsr"},
      {&Settings::flow, 2, "SetFlowControls", "cfcDtrDsr cfcXonXoff"},
      {&Settings::port, 4, "SetPort", "5"},
      {&Settings::port, 9, "SetPort", "1"},  // outside the list: the default
      {&Settings::telType, 1, "SetLineType", "1"},
  };
  for (const Case& c : cases) {
    Settings s;
    s.*c.member = c.index;
    RecordingTarget target;
    ApplySettings(s, target);
    EXPECT_EQ(target.Last(c.call), c.value) << c.call << " for index " << c.index;
  }
}

TEST(ApplySettings, UserDefinedSpeedSetsTheRateThenSelectsIt) {
  Settings s;
  s.speed = 13;
  s.userSpeed = "31250";
  RecordingTarget target;
  EXPECT_FALSE(ApplySettings(s, target).has_value());
  const qsizetype user = target.calls.indexOf("SetBaudRateUserDefined(31250)");
  ASSERT_GE(user, 0);
  EXPECT_EQ(target.calls[user + 1], "SetBaudRate(-1)");
}

TEST(ApplySettings, ABadUserDefinedSpeedIsReportedAndReplacedWhileEverythingElseApplies) {
  for (const char* bad : {"", "abc", "0", "-9600", "9600bps", "99999999999"}) {
    Settings s;
    s.speed = 13;
    s.userSpeed = bad;
    s.printName = false;
    RecordingTarget target;
    const auto problem = ApplySettings(s, target);
    ASSERT_TRUE(problem.has_value()) << bad;
    EXPECT_TRUE(problem->contains("14400")) << problem->toStdString();
    EXPECT_EQ(target.Last("SetBaudRateUserDefined"), "14400");
    EXPECT_EQ(target.Last("SetBaudRate"), "-1");
    EXPECT_EQ(target.Last("SetPrintName"), "0") << "the rest is still applied";
    EXPECT_EQ(target.calls.size(), 40) << "every call once, the user-defined rate included";
  }
}

TEST(SettingsRules, UserSpeedIsAPositiveDecimalNumber) {
  struct Case {
    const char* text;
    std::optional<int> expected;
  };
  const Case cases[] = {{"14400", 14400},
                        {" 31250 ", 31250},
                        {"1", 1},
                        {"0", std::nullopt},
                        {"-1", std::nullopt},
                        {"+5", std::nullopt},
                        {"0x10", std::nullopt},
                        {"", std::nullopt},
                        {"12 34", std::nullopt},
                        {"2147483648", std::nullopt}};
  for (const Case& c : cases) EXPECT_EQ(ParseUserSpeed(c.text), c.expected) << c.text;
}

TEST(SettingsRules, UserNameIsPaddedToEightShiftJisBytes) {
  struct Case {
    QString name;
    QString expected;
  };
  const Case cases[] = {
      {QStringLiteral("名前"), QStringLiteral("名前    ")},
      {QStringLiteral("abcdefgh"), QStringLiteral("abcdefgh")},
      {QStringLiteral("ﾅﾏｴ"), QStringLiteral("ﾅﾏｴ     ")},           // half-width katakana: a byte each
      {QStringLiteral("名前名前名"), QStringLiteral("名前名前名")},  // longer stays whole
      {QString(), QStringLiteral("        ")},
  };
  for (const Case& c : cases) EXPECT_EQ(PadUserName(c.name), c.expected) << c.name.toStdString();
}

TEST(SettingsRules, PortTextIsAComPortOrADevicePath) {
  struct Case {
    const char* text;
    int comIndex;  // -2: refused
    const char* device;
  };
  const Case cases[] = {
      {"COM1", 0, ""},  {"com5", 4, ""},  {" COM3 ", 2, ""},   {"/dev/ttyUSB0", -1, "/dev/ttyUSB0"},
      {"COM6", -2, ""}, {"COM0", -2, ""}, {"ttyUSB0", -2, ""}, {"", -2, ""},
      {"/", -2, ""},    {"TCP/IP", -1, "tcp"}, {"tcp", -1, "tcp"},
  };
  for (const Case& c : cases) {
    const auto choice = ParsePortText(c.text);
    if (c.comIndex == -2) {
      EXPECT_FALSE(choice.has_value()) << c.text;
      continue;
    }
    ASSERT_TRUE(choice.has_value()) << c.text;
    EXPECT_EQ(choice->comIndex, c.comIndex) << c.text;
    EXPECT_EQ(choice->device, c.device) << c.text;
  }
}

TEST(SettingsRules, DeviceNamesSelectExactlyAndTheLastEqualNameWins) {
  const QStringList names{"Synth", "USB MIDI", "usb midi", "USB MIDI", "Other"};
  EXPECT_EQ(SelectByName(names, "USB MIDI"), 3);
  EXPECT_EQ(SelectByName(names, "usb midi"), 2);
  EXPECT_EQ(SelectByName(names, "USB MIDI "), -1);
  EXPECT_EQ(SelectByName(names, "nothing"), -1);
  EXPECT_EQ(SelectByName({}, "Synth"), -1);
}

TEST(SettingsRules, OnlyTextsShiftJisCanHoldAreEncodable) {
  EXPECT_TRUE(EncodableInShiftJis(QStringLiteral("名前 ﾅﾏｴ ABC ? ①")));
  EXPECT_FALSE(EncodableInShiftJis(QStringLiteral("名前😀")));
  EXPECT_TRUE(EncodableInShiftJis(QStringLiteral("Ω≠")));
  EXPECT_FALSE(EncodableInShiftJis(QStringLiteral("Ǆ")));
}

TEST(SerialDevices, UsbAndAcmDevicesInNumberOrderThenStableNames) {
  QTemporaryDir dev;
  QDir d(dev.path());
  for (const char* name : {"ttyUSB10", "ttyUSB2", "ttyACM0", "ttyS0", "tty0", "null"}) {
    QFile f(d.filePath(name));
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
  }
  ASSERT_TRUE(d.mkpath("serial/by-id"));
  ASSERT_TRUE(QFile::link(d.filePath("ttyUSB2"), d.filePath("serial/by-id/usb-FTDI_FT232R-if00-port0")));
  EXPECT_EQ(FindSerialDevices(dev.path()),
            QStringList({d.filePath("ttyUSB2"), d.filePath("ttyUSB10"), d.filePath("ttyACM0"),
                         d.filePath("serial/by-id/usb-FTDI_FT232R-if00-port0")}));
  EXPECT_EQ(FindSerialDevices(d.filePath("absent")), QStringList());
}

}  // namespace
