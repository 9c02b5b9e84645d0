#include "settings/SettingsStore.h"

#include "platform/ShiftJis.h"
#include "platform/midi/GmSynth.h"

#include <algorithm>

namespace {

// Sections and keys of the settings file, in the order a new file gets them.
constexpr const char* kModem = "modem";
constexpr const char* kSerial = "serial";
constexpr const char* kNames = "names";
constexpr const char* kMidi = "midi";
constexpr const char* kSyozai = "syozai";
constexpr const char* kOther = "other";

constexpr int kTelTypes = 2;
constexpr int kSpeeds = Settings::kUserDefinedSpeed + 1;
constexpr int kDataBits = 2;
constexpr int kStopBits = 2;
constexpr int kParities = 3;
constexpr int kFlows = 3;

// A list index from anywhere but the file (the file's are checked on reading) falls back the same way.
int Checked(int index, int count, int fallback) {
  return (index >= 0 && index < count) ? index : fallback;
}

QString S(const char* ascii) {
  return QString::fromLatin1(ascii);
}
QString Numbered(const char* base, int n) {
  return S(base) + QString::number(n);
}

}  // namespace

int SettingsStore::ReadIndex(const char* section, const char* key, int fallback, int count) const {
  const int index = profile_.ReadInt(S(section), S(key), fallback);
  return Checked(index, count, fallback);
}

Settings SettingsStore::Load() const {
  Settings s;  // the defaults
  s.port = ReadIndex(kModem, "port", s.port, Settings::kComPorts);
  s.device = profile_.ReadString(S(kModem), S("device"), s.device);
  const int listen = profile_.ReadInt(S(kModem), S("listen"), s.listenPort);
  if (listen >= 1 && listen <= 65535) s.listenPort = listen;
  s.password = profile_.ReadString(S(kModem), S("password"), s.password);
  // A password lying in a file every user may read is narrowed to its owner as soon as seen.
  // Reading goes on when that fails (a file of another user's, a read-only disk): the next save
  // writes a private file of ours or says why it cannot.
  if (!s.password.isEmpty()) {
    try {
      profile_.MakePrivate();
    } catch (const ProfileError&) {
    }
  }
  s.portMap = profile_.ReadBool(S(kModem), S("portmap"), s.portMap);
  const int playout = profile_.ReadInt(S(kModem), S("playout"), s.playout);
  if (playout >= 0 && playout <= modem::CommandInterpreter::kPlayoutAutomatic) s.playout = playout;
  s.telType = ReadIndex(kModem, "teltype", s.telType, kTelTypes);
  for (int i = 0; i < 3; ++i) {
    auto& text = s.initCommands[static_cast<std::size_t>(i)];
    text = profile_.ReadString(S(kModem), Numbered("text", i + 1), text);
  }

  s.speed = ReadIndex(kSerial, "speed", s.speed, kSpeeds);
  s.userSpeed = profile_.ReadString(S(kSerial), S("user"), s.userSpeed);
  s.dataBits = ReadIndex(kSerial, "data", s.dataBits, kDataBits);
  s.stopBits = ReadIndex(kSerial, "stop", s.stopBits, kStopBits);
  s.parity = ReadIndex(kSerial, "parity", s.parity, kParities);
  s.flow = ReadIndex(kSerial, "flow", s.flow, kFlows);

  for (int i = 0; i < Settings::kDestinations; ++i) {
    auto& name = s.destNames[static_cast<std::size_t>(i)];
    name = profile_.ReadString(S(kNames), Numbered("name", i + 1), name);
  }
  for (int i = 0; i < Settings::kDestinations; ++i) {
    auto& number = s.destNumbers[static_cast<std::size_t>(i)];
    number = profile_.ReadString(S(kNames), Numbered("telnumber", i + 1), number);
  }

  s.midiInName = profile_.ReadString(S(kMidi), S("MidiInDeviceName"), *s.midiInName);
  s.midiOutName = profile_.ReadString(S(kMidi), S("MidiOutDeviceName"), *s.midiOutName);
  s.synthAudioDriver = profile_.ReadString(S(kMidi), S("SynthAudioDriver"), s.synthAudioDriver);
  // A period the synth does not offer is read as the default one.
  const int buffer = profile_.ReadInt(S(kMidi), S("SynthBuffer"), s.synthBuffer);
  if (std::ranges::find(GmSynth::kBufferChoices, buffer) != std::end(GmSynth::kBufferChoices)) s.synthBuffer = buffer;

  s.outsideLinePrefix = profile_.ReadString(S(kSyozai), S("num"), s.outsideLinePrefix);
  s.userName = profile_.ReadString(S(kSyozai), S("name"), s.userName);
  s.makeLog = profile_.ReadBool(S(kOther), S("makelog"), s.makeLog);
  s.printName = profile_.ReadBool(S(kOther), S("printname"), s.printName);
  return s;
}

void SettingsStore::Save(const Settings& s) {
  profile_.WriteInt(S(kModem), S("port"), s.port);
  if (s.device.isEmpty()) {
    profile_.DeleteKey(S(kModem), S("device"));
  } else {
    profile_.WriteString(S(kModem), S("device"), s.device);
  }
  profile_.WriteInt(S(kModem), S("listen"), s.listenPort);
  if (!s.password.isEmpty()) profile_.MakePrivate();
  profile_.WriteString(S(kModem), S("password"), s.password);
  profile_.WriteBool(S(kModem), S("portmap"), s.portMap);
  profile_.WriteInt(S(kModem), S("playout"), s.playout);
  profile_.WriteInt(S(kModem), S("teltype"), s.telType);
  for (int i = 0; i < 3; ++i) {
    profile_.WriteString(S(kModem), Numbered("text", i + 1), s.initCommands[static_cast<std::size_t>(i)]);
  }

  profile_.WriteInt(S(kSerial), S("speed"), s.speed);
  profile_.WriteString(S(kSerial), S("user"), s.userSpeed);
  profile_.WriteInt(S(kSerial), S("data"), s.dataBits);
  profile_.WriteInt(S(kSerial), S("stop"), s.stopBits);
  profile_.WriteInt(S(kSerial), S("parity"), s.parity);
  profile_.WriteInt(S(kSerial), S("flow"), s.flow);

  for (int i = 0; i < Settings::kDestinations; ++i) {
    profile_.WriteString(S(kNames), Numbered("name", i + 1), s.destNames[static_cast<std::size_t>(i)]);
  }
  for (int i = 0; i < Settings::kDestinations; ++i) {
    profile_.WriteString(S(kNames), Numbered("telnumber", i + 1), s.destNumbers[static_cast<std::size_t>(i)]);
  }

  if (s.midiInName) profile_.WriteString(S(kMidi), S("MidiInDeviceName"), *s.midiInName);
  if (s.midiOutName) profile_.WriteString(S(kMidi), S("MidiOutDeviceName"), *s.midiOutName);
  profile_.WriteInt(S(kMidi), S("SynthBuffer"), s.synthBuffer);

  profile_.WriteString(S(kSyozai), S("num"), s.outsideLinePrefix);
  profile_.WriteString(S(kSyozai), S("name"), s.userName);
  profile_.WriteBool(S(kOther), S("makelog"), s.makeLog);
  profile_.WriteBool(S(kOther), S("printname"), s.printName);
}

bool SettingsStore::ReadMakeLog() const {
  return profile_.ReadBool(S(kOther), S("makelog"), Settings{}.makeLog);
}

std::optional<int> ParseUserSpeed(const QString& text) {
  const QString trimmed = text.trimmed();
  if (trimmed.isEmpty()) return std::nullopt;
  for (QChar c : trimmed) {
    if (c < QLatin1Char('0') || c > QLatin1Char('9')) return std::nullopt;
  }
  // Only digits are left, so the hexadecimal and sign forms of the integer rules cannot apply.
  const auto value = Profile::ParseInt(trimmed);
  if (!value || *value <= 0) return std::nullopt;
  return value;
}

QString UserSpeedRefusal() {
  return QStringLiteral("ﾕｰｻﾞｰ定義の通信速度には 1 以上の整数を入力してください。");
}

QString PadUserName(const QString& name) {
  const qsizetype bytes = ShiftJis::Encode(name).size();
  return bytes >= kUserNameBytes ? name : name + QString(kUserNameBytes - bytes, QLatin1Char(' '));
}

QString DestinationHint(const QString& name) {
  return name + QStringLiteral("|") + name + QStringLiteral(" に接続します");
}

std::optional<QString> ApplySettings(const Settings& s, SettingsTarget& target) {
  using T = SettingsTarget;
  const Settings defaults;
  std::optional<QString> problem;
  const int speed = Checked(s.speed, kSpeeds, defaults.speed);
  const int parity = Checked(s.parity, kParities, defaults.parity);
  const int flow = Checked(s.flow, kFlows, defaults.flow);

  target.SetPort(Checked(s.port, Settings::kComPorts, defaults.port) + 1);
  target.SetDevicePath(s.device);
  target.SetListenPort(s.listenPort >= 1 && s.listenPort <= 65535 ? s.listenPort : defaults.listenPort);
  target.SetModemPassword(s.password);
  target.SetPortMap(s.portMap);
  target.SetPlayout(s.playout);
  target.SetLineType(s.telType);
  for (int i = 0; i < 3; ++i) target.SetInitCommand(i + 1, s.initCommands[static_cast<std::size_t>(i)]);

  if (speed == Settings::kUserDefinedSpeed) {
    const auto rate = ParseUserSpeed(s.userSpeed);
    if (!rate) {
      problem = QStringLiteral("設定ファイルのﾕｰｻﾞｰ定義の通信速度「%1」は正しくないため、%2bps を使います。")
                    .arg(s.userSpeed)
                    .arg(kDefaultUserSpeed);
    }
    target.SetBaudRateUserDefined(rate.value_or(kDefaultUserSpeed));
    target.SetBaudRate(-1);
  } else {
    target.SetBaudRate(kSpeedRates[static_cast<std::size_t>(speed)]);
  }

  target.SetByteSize(s.dataBits == 0 ? T::ByteSize::cbs7 : T::ByteSize::cbs8);
  target.SetStopBits(s.stopBits == 0 ? T::StopBits::csb1 : T::StopBits::csb2);
  constexpr T::ParityBits kParity[] = {T::ParityBits::cpbNone, T::ParityBits::cpbOdd, T::ParityBits::cpbEven};
  target.SetParityBits(kParity[parity]);
  // DTR/DSR stays in every choice, "なし" included: the modem hangs up when DTR drops.
  constexpr T::FlowControls kFlow[] = {T::cfcDtrDsr, T::cfcDtrDsr | T::cfcRtsCts,
                                       T::cfcDtrDsr | T::cfcXonXoff};
  target.SetFlowControls(kFlow[flow]);

  target.SetOutsideLinePrefix(s.outsideLinePrefix);
  for (int i = 0; i < Settings::kDestinations; ++i) {
    target.SetDestName(i + 1, s.destNames[static_cast<std::size_t>(i)]);
  }
  for (int i = 0; i < Settings::kDestinations; ++i) {
    target.SetDestNumber(i + 1, s.destNumbers[static_cast<std::size_t>(i)]);
  }
  for (int i = 0; i < Settings::kDestinations; ++i) {
    const QString& name = s.destNames[static_cast<std::size_t>(i)];
    target.SetDestinationHint(i + 1, DestinationHint(name));
    target.SetDestinationMenuCaption(i + 1, name);
  }
  target.SetUserName(PadUserName(s.userName));
  target.SetPrintName(s.printName);
  target.SetSynthOutput(s.synthAudioDriver, s.synthBuffer);
  return problem;
}

int SelectByName(const QStringList& names, const QString& name) {
  int selected = -1;
  for (qsizetype i = 0; i < names.size(); ++i) {
    // A device name with characters Shift-JIS lacks comes back from the file with those
    // replaced; compared in its stored form, it still selects its device.
    if (names[i] == name || ShiftJis::Decode(ShiftJis::Encode(names[i])) == name)
      selected = static_cast<int>(i);
  }
  return selected;
}

std::optional<PortChoice> ParsePortText(const QString& text) {
  const QString trimmed = text.trimmed();
  for (int i = 0; i < Settings::kComPorts; ++i) {
    if (trimmed.compare(QStringLiteral("COM%1").arg(i + 1), Qt::CaseInsensitive) == 0)
      return PortChoice{i, {}};
  }
  if (trimmed.compare(QLatin1String(Settings::kBuiltInModemEntry), Qt::CaseInsensitive) == 0 ||
      trimmed.compare(QLatin1String(Settings::kBuiltInModem), Qt::CaseInsensitive) == 0) {
    return PortChoice{-1, QString::fromLatin1(Settings::kBuiltInModem)};
  }
  if (trimmed.startsWith(QLatin1Char('/')) && trimmed.size() > 1) return PortChoice{-1, trimmed};
  return std::nullopt;
}

QString PortRefusal() {
  return QStringLiteral("ﾎﾟｰﾄには COM1～COM5、TCP/IP か、ﾃﾞﾊﾞｲｽのﾊﾟｽ (/dev/ttyUSB0 など) を指定してください。");
}

std::optional<int> ParseListenPort(const QString& text) {
  const auto value = ParseUserSpeed(text);  // the same rule: digits only, positive
  if (!value || *value > 65535) return std::nullopt;
  return value;
}

QString ListenPortRefusal() {
  return QStringLiteral("着信ﾎﾟｰﾄには 1～65535 の番号を入力してください。");
}

// The encoder puts '?' for what it cannot hold; a text whose '?' count grows lost a character.
bool EncodableInShiftJis(const QString& text) {
  return ShiftJis::Encode(text).count('?') == text.count(QLatin1Char('?'));
}
