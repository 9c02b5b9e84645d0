// Any bytes as the settings file. Loading gives every list choice inside its list, the file's
// number where it is one by the integer rules (checked against the standard library) and in
// range, else the default; and saving what was loaded, then loading again, gives the same settings, as far as
// Shift-JIS can hold their text.
#include <QFile>
#include <array>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>

#include "FuzzScratch.h"
#include "platform/Profile.h"
#include "platform/ShiftJis.h"
#include "settings/SettingsStore.h"

namespace {

void Check(bool ok) {
  if (!ok) std::abort();
}

bool InList(int index, int count) {
  return index >= 0 && index < count;
}

// The integer rules, written independently: blanks around, decimal with an optional sign or
// hexadecimal after "0x", within 32 bits.
std::optional<int> ReferenceInt(const QString& text) {
  for (QChar c : text) {
    if (c.unicode() >= 0x80) return {};  // no digit, sign or blank
  }
  std::string s = text.toStdString();
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.erase(0, 1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.pop_back();
  int base = 10;
  if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
    base = 16;
    s.erase(0, 2);
    if (s[0] == '-') return {};
  } else if (!s.empty() && s[0] == '+') {
    s.erase(0, 1);
    if (!s.empty() && s[0] == '-') return {};
  }
  int value = 0;
  const auto [end, error] = std::from_chars(s.data(), s.data() + s.size(), value, base);
  if (s.empty() || error != std::errc() || end != s.data() + s.size()) return {};
  return value;
}

// The keys that hold list choices, and the two switches.
struct IndexKey {
  const char* section;
  const char* key;
  int Settings::*member;
  int count;
};
constexpr IndexKey kIndexKeys[] = {{"modem", "port", &Settings::port, Settings::kComPorts},
                                   {"modem", "teltype", &Settings::telType, 2},
                                   {"serial", "speed", &Settings::speed, Settings::kUserDefinedSpeed + 1},
                                   {"serial", "data", &Settings::dataBits, 2},
                                   {"serial", "stop", &Settings::stopBits, 2},
                                   {"serial", "parity", &Settings::parity, 3},
                                   {"serial", "flow", &Settings::flow, 3}};
struct SwitchKey {
  const char* key;
  bool Settings::*member;
};
constexpr SwitchKey kSwitchKeys[] = {{"makelog", &Settings::makeLog}, {"printname", &Settings::printName}};

// The number the file holds for a key, checking the reader's integer rules on the way.
std::optional<int> NumberIn(const Profile& profile, const char* section, const char* key) {
  const auto raw = profile.Read(QString::fromLatin1(section), QString::fromLatin1(key));
  if (!raw) return {};
  const auto number = ReferenceInt(*raw);
  Check(Profile::ParseInt(*raw) == number);
  return number;
}

// Every text that saving writes.
template <typename F>
void ForEachSavedText(Settings& s, F f) {
  for (QString* t : {&s.device, &s.userSpeed, &s.outsideLinePrefix, &s.userName}) f(*t);
  for (QString& t : s.initCommands) f(t);
  for (QString& t : s.destNames) f(t);
  for (QString& t : s.destNumbers) f(t);
  if (s.midiInName) f(*s.midiInName);
  if (s.midiOutName) f(*s.midiOutName);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const FuzzScratch scratch;
  static const QString path = scratch.Path(SettingsStore::kFileName);
  FuzzScratch::Put(path, data, size);
  Profile profile(path);
  SettingsStore store(profile);

  const Settings loaded = store.Load();
  const Settings defaults;
  for (const IndexKey& k : kIndexKeys) {
    const auto number = NumberIn(profile, k.section, k.key);
    Check(InList(loaded.*k.member, k.count));
    Check(loaded.*k.member == (number && InList(*number, k.count) ? *number : defaults.*k.member));
  }
  for (const SwitchKey& k : kSwitchKeys) {
    const auto number = NumberIn(profile, "other", k.key);
    Check(loaded.*k.member == (number ? *number != 0 : defaults.*k.member));
  }

  // A value never holds a line feed: each comes from one line. A carriage return inside a line
  // stays part of the value, and such a value cannot be written back (the write refuses it).
  // Everything else reads back as Shift-JIS holds it.
  Settings expected = loaded;
  bool cr = false;
  ForEachSavedText(expected, [&cr](QString& t) {
    Check(!t.contains(QLatin1Char('\n')));
    cr = cr || t.contains(QLatin1Char('\r'));
    t = ShiftJis::Decode(ShiftJis::Encode(t));
  });

  try {
    store.Save(loaded);
  } catch (const ProfileError&) {
    Check(cr);
    return 0;
  }
  Check(!cr);
  // The synth driver is only read, never saved: its line stays as it was.
  Check(store.Load() == expected);
  return 0;
}
