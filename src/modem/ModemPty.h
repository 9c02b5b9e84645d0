#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/UserError.h"

namespace modem {

// The pty could not be made, or the link path could not be put there.
class ModemError : public UserError {
 public:
  using UserError::UserError;
};

// The pty pair a program opens as it would open a serial device with a modem on it: raw from
// the start, for programs that do not set the line up themselves, with a watch on the slave's
// opens and closes, and (when asked for) a symbolic link to it, removed at the end while it is
// still this pty's.
class ModemPty {
 public:
  explicit ModemPty(std::string linkPath);
  ~ModemPty();
  ModemPty(const ModemPty&) = delete;
  ModemPty& operator=(const ModemPty&) = delete;

  int Master() const { return master_; }
  int Watch() const { return watch_; }  // readable when the slave was opened or closed
  const std::string& SlavePath() const { return slavePath_; }
  // The link path if one was asked for, else the slave's.
  const std::string& DevicePath() const { return devicePath_; }
  // The slave's opens and closes since the last call, in the order they happened (inotify masks).
  std::vector<std::uint32_t> SlaveEvents();
  // Whether no program holds the slave now.
  bool HungUp() const;

 private:
  void Fail(const QString& text, int error);

  std::string linkPath_;
  std::string slavePath_;
  std::string devicePath_;
  int master_ = -1;
  int watch_ = -1;
};

}  // namespace modem
