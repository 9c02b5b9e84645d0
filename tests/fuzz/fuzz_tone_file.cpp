// Any bytes as a tone file: reading either gives a set-up whose every value is in its range, or
// refuses with a message naming the file. A set-up that was read saves and reads back the same,
// and the saved text is the program's own canonical form.
#include <QFile>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "FuzzScratch.h"
#include "routing/ToneFile.h"

namespace {

void Check(bool ok) {
  if (!ok) std::abort();
}

bool InRange(std::int32_t value, std::int32_t max) {
  return value >= 0 && value <= max;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const FuzzScratch scratch;
  static const QString input = scratch.Path("input.snv");
  static const QString saved = scratch.Path("saved.snv");
  FuzzScratch::Put(input, data, size);

  ToneSetup setup;
  try {
    setup = ToneFile::Read(input);
  } catch (const ToneFile::Error& e) {
    Check(e.Message().contains(QStringLiteral("input.snv")));
    return 0;
  }

  Check(InRange(setup.localChannel, kMidiChannels - 1) && InRange(setup.remoteChannel, kMidiChannels - 1));
  const ChannelSettings& c = setup.channels;
  for (int ch = 0; ch < kMidiChannels; ++ch) {
    Check(InRange(c.program[ch], 127) && InRange(c.pan[ch], 127) && InRange(c.reverb[ch], 127) &&
          InRange(c.chorus[ch], 127) && InRange(c.volume[ch], 127));
  }

  ToneFile::Write(saved, setup);
  Check(ToneFile::Read(saved) == setup);
  QFile file(saved);
  Check(file.open(QIODevice::ReadOnly));
  const QByteArray text = file.readAll();
  Check(text == ToneFile::Format(setup) && text.count("\r\n") == ToneFile::kValueCount);
  return 0;
}
