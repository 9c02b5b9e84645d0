#pragma once

#include "modem/CallStatus.h"

// What the kernel knows of a TCP call's line, in the figures the status bar shows: the smoothed
// round trip, and the share of this side's segments that had to be sent again.
namespace modem {

// Fills status.roundTripMs and status.repairedShare from the connected socket; leaves them as
// they are when the kernel cannot tell.
void ReadTcpFigures(int socket, CallStatus& status);

}  // namespace modem
