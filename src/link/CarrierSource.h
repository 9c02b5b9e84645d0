#pragma once

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
  virtual ~CarrierSource() = default;
  virtual Carrier CarrierState() const = 0;
};
