#pragma once

#include <cstdint>
#include <string>

// What the built-in modem tells the program about its call, apart from the bytes on the pty.
// The program asks for it (InternetModem::Status) whenever it needs it; the modem's thread keeps it
// current. The carrier goes up before the modem writes CONNECT to the pty and down before it
// writes NO CARRIER, so a result word parsed on the program's side can be checked against it.
namespace modem {

// How the partner of a call was confirmed.
enum class CallProtection {
  None,      // no call
  Open,      // encrypted, but anyone who knows the address may call (no password on either side)
  Password,  // encrypted, and the partner proved it holds the same password
};

// The line the call travels on.
enum class LineKind { None, Tcp, Datagram };

struct CallStatus {
  bool carrier = false;
  CallProtection protection = CallProtection::None;
  LineKind line = LineKind::None;
  std::string partner;       // the partner's address as the modem saw it; empty without a call
  int roundTripMs = -1;      // the line's round-trip time; -1 while unknown
  double repairedShare = 0;  // of the packets received lately, the share the line had to repair
  // How long the partner's bytes are held beyond the path's lowest delay, so that the path's
  // jitter does not become their rhythm; -1 when they are handed on as they come.
  int playoutMs = -1;
  // Of the partner's stretches of bytes, the share that came after their time (handed on at once).
  double lateShare = 0;
  // The calls this modem has had, counted as each one's carrier rises: the number of the call the
  // carrier belongs to, or of the last one while it is down. A program that reads the end of a
  // call late, when the next one has begun, can tell whose end it is.
  std::uint64_t call = 0;

  // The wait for a call (from ATS0=1 until it ends): the port it listens on, 0 while not waiting.
  std::uint16_t waitingPort = 0;
  // An open call's check code: a few digits both modems derive from the call's key, the same on
  // both sides only when nobody sits between them; the players compare them. Empty otherwise.
  std::string checkCode;
  // At the door since the wait began (kept after it ends, until the next ATS0=1): callers that
  // held another password, and connections turned away or dropped because too many knocked.
  int wrongPasswords = 0;
  int turnedAway = 0;
};

}  // namespace modem
