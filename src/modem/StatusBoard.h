#pragma once

#include <cstdint>
#include <mutex>

#include "modem/CallStatus.h"

namespace modem {

// The modem's status as the program sees it: written by the modem's thread, read by any.
class StatusBoard {
 public:
  // As it stands; a TCP call's figures are asked of the kernel here, under the lock that keeps
  // the call's socket from being closed meanwhile (SetCall forgets it before it is closed).
  CallStatus Get() const;
  // The call's own status, with `socket` its stream while the carrier is up. The call counter
  // rises with the carrier; the door (the wait and who knocked) is the modem's and stays.
  void SetCall(const CallStatus& status, int socket);
  void SetDoor(std::uint16_t waitingPort, int wrongPasswords, int turnedAway);

 private:
  mutable std::mutex lock_;
  CallStatus status_;  // guarded by lock_
  int socket_ = -1;    // guarded by lock_: the call's socket while the carrier is up
};

}  // namespace modem
