#pragma once

#include <QString>
#include <QStringList>
#include <array>
#include <optional>

#include "modem/ModemCommands.h"
#include "platform/Profile.h"
#include "settings/SettingsTarget.h"

// The values the settings dialog's controls hold, one member per key of the settings file.
// List choices are list indexes.
struct Settings {
  static constexpr int kComPorts = 5;           // ComboBox1's COM1..COM5
  static constexpr int kUserDefinedSpeed = 13;  // ComboBox3's last entry
  static constexpr int kDestinations = 5;
  // `device` for the built-in TCP/IP modem, and its entry in the port list.
  static constexpr const char* kBuiltInModem = "tcp";
  static constexpr const char* kBuiltInModemEntry = "TCP/IP";

  // [modem]
  int port = 0;    // COM1..COM5 as 0..4
  QString device;  // a device path used instead of the COM port, or kBuiltInModem; empty: none
  int listenPort = modem::kDefaultPort;  // where the built-in modem takes calls
  QString password;  // the built-in modem's call password; empty: calls open to anyone
  bool portMap = true;  // while it waits, it asks the router to open that port
  // How it plays the partner's notes (its S41): 0 as they arrive, 1-200 a fixed delay in ms,
  // 255 a delay sized to the path.
  int playout = modem::CommandInterpreter::kPlayoutAutomatic;
  int telType = 0;
  std::array<QString, 3> initCommands{QStringLiteral("ATZ"), QStringLiteral("ATE1Q0V1X3\\N3%C1"), QString()};
  // [serial]
  int speed = 8;  // 19200 bit/s
  QString userSpeed = QStringLiteral("14400");
  int dataBits = 1;  // 8 bits
  int stopBits = 0;  // 1 stop bit
  int parity = 0;    // none
  int flow = 1;      // hardware
  // [names]
  std::array<QString, kDestinations> destNames{QStringLiteral("接続先1"), QStringLiteral("接続先2"),
                                               QStringLiteral("接続先3"), QStringLiteral("接続先4"),
                                               QStringLiteral("接続先5")};
  std::array<QString, kDestinations> destNumbers;
  // [midi] The device names; on saving, nothing leaves the file's name as it is.
  std::optional<QString> midiInName = QStringLiteral("nothing");
  std::optional<QString> midiOutName = QStringLiteral("nothing");
  QString synthAudioDriver;  // empty: automatic. Only ever read: no control edits it.
  int synthBuffer = 128;     // the built-in synth's period, frames
  // [syozai]
  QString outsideLinePrefix;
  QString userName = QStringLiteral("名前");
  // [other]
  bool makeLog = true;
  bool printName = true;

  bool operator==(const Settings&) const = default;
};

// Reads and writes the settings file key by key; holds nothing between calls.
class SettingsStore {
 public:
  static constexpr const char* kFileName = "Sonavel.ini";

  explicit SettingsStore(Profile& profile) : profile_(profile) {}

  Profile& File() { return profile_; }

  // Every key in the order the dialog loads them. A missing key, a value that is not a number
  // where a number belongs, or a list index outside its list gives the key's default.
  Settings Load() const;
  // Every key in the order the dialog saves them; a new file gets its sections in that order.
  // An empty `device` removes that key. Throws ProfileError at the first key that cannot be
  // written; the keys before it are written.
  void Save(const Settings& settings);

  // The log option, read by the modem dialogue when it is created.
  bool ReadMakeLog() const;

 private:
  int ReadIndex(const char* section, const char* key, int fallback, int count) const;

  Profile& profile_;
};

// --- the rules of applying

inline constexpr std::array<int, Settings::kUserDefinedSpeed> kSpeedRates{
    110, 300, 600, 1200, 2400, 4800, 9600, 14400, 19200, 38400, 56000, 128000, 256000};
inline constexpr int kDefaultUserSpeed = 14400;
inline constexpr int kUserNameBytes = 8;

// A user-defined speed: a positive decimal number (blanks around it allowed), else nothing.
std::optional<int> ParseUserSpeed(const QString& text);
// The refusal shown when OK is pressed with a bad user-defined speed.
QString UserSpeedRefusal();

// The name before chat lines: blanks appended up to 8 Shift-JIS bytes; a longer name stays whole.
QString PadUserName(const QString& name);
// A destination button's hint: the name as tooltip, the name and " に接続します" as status text.
QString DestinationHint(const QString& name);

// Applies every value in order to the serial port, the modem dialogue and the main window.
// A user-defined speed that is not a positive number is replaced by 14400 so that everything
// still gets applied; the returned text says so, for the user to read. Nothing else is
// returned.
std::optional<QString> ApplySettings(const Settings& settings, SettingsTarget& target);

// What the port field says: one of "COM1".."COM5" (any case), "TCP/IP" (the built-in modem,
// device "tcp"), or a device path (begins with '/'). Anything else is not a port.
struct PortChoice {
  int comIndex = -1;  // 0..4 for COM1..COM5
  QString device;
};
std::optional<PortChoice> ParsePortText(const QString& text);
QString PortRefusal();
// A TCP port to take calls on: 1..65535 (blanks around it allowed), else nothing.
std::optional<int> ParseListenPort(const QString& text);
QString ListenPortRefusal();

// Whether every character of the text has a Shift-JIS form, so that it survives the file.
bool EncodableInShiftJis(const QString& text);

// The entry of a device list that a stored name selects: the last one whose text is exactly
// equal (as the settings file can hold it), -1 for none.
int SelectByName(const QStringList& names, const QString& name);
