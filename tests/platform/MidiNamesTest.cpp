#include <gtest/gtest.h>

#include "platform/midi/SystemMidi.h"

namespace {

TEST(MidiNames, AlsaNamesLoseTheirClientAndPortNumbers) {
  EXPECT_EQ(midi_names::Listed(SystemMidi::Api::Alsa, "Midi Through:Midi Through Port-0 14:0"),
            QStringLiteral("Midi Through:Midi Through Port-0"));
  EXPECT_EQ(midi_names::Listed(SystemMidi::Api::Alsa, "USB MIDI:USB MIDI MIDI 1 128:0"),
            QStringLiteral("USB MIDI:USB MIDI MIDI 1"));
  // A name without the address is kept as it is.
  EXPECT_EQ(midi_names::Listed(SystemMidi::Api::Alsa, "Synth 2"), QStringLiteral("Synth 2"));
}

TEST(MidiNames, JackNamesAreMarked) {
  EXPECT_EQ(midi_names::Listed(SystemMidi::Api::Jack, "a2j:Keystation 20:0"),
            QStringLiteral("JACK: a2j:Keystation 20:0"));
}

TEST(MidiNames, OurOwnPortsAreNotOffered) {
  EXPECT_TRUE(midi_names::IsOurs("Sonavel:MIDI In"));
  EXPECT_TRUE(midi_names::IsOurs("Sonavel-01:MIDI Out"));
  EXPECT_FALSE(midi_names::IsOurs("Midi Through:Port-0 14:0"));
}

TEST(MidiNames, EqualNamesOpenTheOccurrenceThatWasListed) {
  using Api = SystemMidi::Api;
  // Two interfaces of one model, our own port in between, and another device.
  const std::vector<std::string> ports = {"UM-ONE:UM-ONE MIDI 1 24:0", "Sonavel:MIDI Out 128:0",
                                          "Synth:Synth 1 20:0", "UM-ONE:UM-ONE MIDI 1 28:0"};
  const QString umOne = QStringLiteral("UM-ONE:UM-ONE MIDI 1");
  struct {
    QString name;
    int occurrence;
    int port;
  } cases[] = {
      {umOne, 0, 0},
      {umOne, 1, 3},
      {umOne, 2, 0},  // the second one was unplugged since: the first of that name stands in
      {QStringLiteral("Synth:Synth 1"), 0, 2},
      {QStringLiteral("Sonavel:MIDI Out"), 0, -1},  // ours is never opened
      {QStringLiteral("Gone"), 0, -1},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(midi_names::FindListed(ports, Api::Alsa, c.name, c.occurrence), c.port)
        << c.name.toStdString() << " #" << c.occurrence;
  }
}

TEST(MidiNames, ShortMessageLengths) {
  struct {
    int status;
    int length;
  } const cases[] = {{0x00, 0}, {0x7F, 0}, {0x80, 3}, {0x9F, 3}, {0xA3, 3}, {0xB0, 3}, {0xC5, 2},
                     {0xD0, 2}, {0xE1, 3}, {0xF0, 0}, {0xF1, 2}, {0xF2, 3}, {0xF3, 2}, {0xF4, 0},
                     {0xF6, 1}, {0xF7, 0}, {0xF8, 1}, {0xFE, 1}, {0xFF, 1}};
  for (const auto& c : cases) EXPECT_EQ(ShortMessageLength(c.status), c.length) << std::hex << c.status;
}

TEST(MidiNames, TheBuiltInSynthIsOutputZeroAndNeverAnInput) {
  SystemMidi midi;
  const QStringList outputs = midi.OutputNames();
  ASSERT_FALSE(outputs.isEmpty());
  EXPECT_EQ(outputs.front(), QString::fromUtf8(GmSynth::kDeviceName));
  EXPECT_FALSE(midi.InputNames().contains(QString::fromUtf8(GmSynth::kDeviceName)));
}

TEST(MidiNames, UnknownDeviceNumbersFailToOpen) {
  SystemMidi midi;
  const auto outputs = midi.OutputNames();
  EXPECT_THROW(midi.OpenOutput(static_cast<int>(outputs.size())), MidiDeviceError);
  EXPECT_THROW(midi.OpenInput(-1, [](ShortMessage) {}), MidiDeviceError);
}

}  // namespace
