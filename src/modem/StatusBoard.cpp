#include "modem/StatusBoard.h"

#include "modem/LineFigures.h"

namespace modem {

CallStatus StatusBoard::Get() const {
  std::lock_guard guard(lock_);
  CallStatus status = status_;
  if (status.carrier && status.line == LineKind::Tcp && socket_ >= 0) ReadTcpFigures(socket_, status);
  return status;
}

void StatusBoard::SetCall(const CallStatus& status, int socket) {
  std::lock_guard guard(lock_);
  const std::uint64_t call = status_.call + (status.carrier && !status_.carrier ? 1 : 0);
  const CallStatus door = status_;
  status_ = status;
  status_.call = call;
  status_.waitingPort = door.waitingPort;
  status_.wrongPasswords = door.wrongPasswords;
  status_.turnedAway = door.turnedAway;
  socket_ = status.carrier ? socket : -1;
}

void StatusBoard::SetDoor(std::uint16_t waitingPort, int wrongPasswords, int turnedAway) {
  std::lock_guard guard(lock_);
  status_.waitingPort = waitingPort;
  status_.wrongPasswords = wrongPasswords;
  status_.turnedAway = turnedAway;
}

}  // namespace modem
