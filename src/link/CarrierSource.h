#pragma once

#include <cstdint>

// Whether the modem holds a call, as the modem itself tells it, apart from the bytes on the
// line: the peer can send any text, "NO CARRIER" included, but cannot move this. The dialogue
// asks it for each line it handles.
class CarrierSource {
 public:
  enum class Carrier {
    Unknown,  // the line cannot tell: the words alone count
    Up,       // the modem is online, so every line comes from the peer (but the CONNECT before it)
    Down,     // no call
  };
  // The carrier, and which call it belongs to, read at one moment. The built-in modem numbers its
  // calls (CallStatus::call); a line that cannot tell says 0 for every call.
  struct Line {
    Carrier carrier = Carrier::Unknown;
    std::uint64_t call = 0;
  };
  virtual ~CarrierSource() = default;
  virtual Carrier CarrierState() const = 0;
  virtual Line CarrierAndCall() const { return {CarrierState(), 0}; }
};
