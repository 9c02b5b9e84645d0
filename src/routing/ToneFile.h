#pragma once

#include <QByteArray>
#include <QString>

#include "routing/ChannelSettings.h"
#include "platform/UserError.h"

// Tone files (*.SNV): 82 lines of decimal integers, CR LF after each: the local and the
// remote part's channel, then for each of the 16 channels program, pan, reverb, chorus and
// volume.
namespace ToneFile {

constexpr int kValueCount = 82;

// A file that cannot be read, written or taken in. The message names the file and, for a bad
// value, its line.
class Error : public UserError {
 public:
  using UserError::UserError;
};

QByteArray Format(const ToneSetup& setup);
// Checks the whole text before anything is taken: exactly the values of a complete set-up,
// channels 0..15, every other value 0..127. Blanks and line ends separate the values, so
// several may stand on one line; what follows the fifth value of a channel on its line is
// ignored, as is anything after the last value's line. Throws Error naming the line.
ToneSetup Parse(const QByteArray& text, const QString& fileName = {});

// Write replaces the file only when the whole set-up has been written (written beside it, then
// renamed over it), so a failed save never leaves half a file behind.
void Write(const QString& path, const ToneSetup& setup);
ToneSetup Read(const QString& path);

}  // namespace ToneFile
