#pragma once

#include <sys/socket.h>

#include <QString>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "modem/CallHandshake.h"
#include "modem/CallStatus.h"
#include "modem/DatagramCall.h"
#include "modem/ModemCommands.h"
#include "modem/Playout.h"
#include "modem/SealedRecords.h"

// One call of the built-in modem, from ATD or the answer to NO CARRIER: the lookup and the
// addresses tried in turn, the handshake on the stream, the sealed records, the choice of line
// (the stream, or datagrams when the path carries them both ways), the end and why.
//
// Pure: the modem owns the sockets, the clock and the name lookup. It hands every event here
// with the time and carries out what the session asks (Take), and wakes it at Wake().
namespace modem {

class CallSession {
 public:
  using Time = std::chrono::steady_clock::time_point;

  // Past this much waiting for the other side, the modem stops reading from this side: the
  // program's writes then wait, as on a serial line whose modem holds CTS.
  static constexpr std::size_t kBacklog = 64 * 1024;
  // What one read of the program brings, at most: one record.
  static constexpr std::size_t kChunk = 4096;
  // How long a caller waits for a datagram answer before the call stays on the stream, and how
  // often it asks meanwhile.
  static constexpr std::chrono::milliseconds kChoiceWait{1000};
  static constexpr std::chrono::milliseconds kProbeEvery{200};
  // How long a hung-up datagram call keeps telling the partner, whose copies of the end may all
  // have been lost: on a lossy path it hears of it within this, not after the line's silence.
  static constexpr std::chrono::milliseconds kLinger{1500};

  enum class State { Resolving, Connecting, Greeting, Choosing, Online, Lingering, Ended };
  enum class Lookup { Found, NotFound, NoNameService, NotStarted };
  enum class StreamClose { Keep, Drain, Shutdown };  // Drain: read what is left, then close

  // What the modem is to carry out, in this order: the stream and the datagrams, then the rest.
  struct Effects {
    std::string toStream;  // to queue on the call's stream
    std::vector<std::pair<Bytes, sockaddr_storage>> datagrams;
    std::string toProgram;                        // the partner's bytes and the modem's own lines
    std::optional<DialTarget> lookUp;             // look the name up, then Resolved
    std::optional<std::size_t> connectTo;         // open the stream to this address of the lookup's
    StreamClose closeStream = StreamClose::Keep;  // the queue on the stream goes with it
    bool closeDatagrams = false;                  // the caller's own datagram socket
    std::optional<CallStatus> status;             // the call's status changed
    std::optional<CallKey> partnerKey;            // to keep for the next call's proof
  };

  // `words`: the modem's command side, for the form of its texts and result words; it outlives
  // the session. `utf8`: the modem's texts in UTF-8 instead of Shift-JIS.
  CallSession(const CommandInterpreter& words, bool utf8) : words_(words), utf8_(utf8) {}
  // What the answering side's program is told when a modem of `version` called: why, then
  // NO CARRIER.
  static std::string OtherVersionCalled(const CommandInterpreter& words, bool utf8, int version);
  CallSession(const CallSession&) = delete;
  CallSession& operator=(const CallSession&) = delete;

  // -- a call this side makes
  void Dial(const DialTarget& target, Time now);
  void Resolved(Lookup result, std::size_t addresses, Time now);
  // The address asked for could not be reached (errno), at once or once the connect finished.
  void StreamFailed(int error, Time now);
  // The stream stands. `datagrams`: the modem has a datagram socket toward `peer`.
  // `partner`: the key kept from an earlier call, to prove it in the HELLO.
  void StreamConnected(std::string_view password, bool datagrams, const sockaddr_storage& peer, Time now,
                       const CallKey* partner = nullptr);

  // -- a call this side answers: the gate's confirmed handshake, whose WELCOME has gone.
  void Answer(std::unique_ptr<CallHandshake> handshake, const std::string& partner, bool datagrams, Time now);

  // -- during the call
  void StreamBytes(std::span<const std::uint8_t> bytes, Time now);
  // The stream ended: 0 for a close, else the error.
  void StreamEnded(int error, Time now);
  // A write to the stream failed.
  void StreamSendFailed(Time now);
  void Datagram(std::span<const std::uint8_t> datagram, const sockaddr_storage& from, Time now);
  void FromProgram(std::span<const std::uint8_t> bytes, Time now);
  // The program closed the port: what it sent goes, the call ends; a datagram call lingers.
  void ProgramGone(Time now);
  // Whatever is due at `now`; `programRoom`: what the program's side takes now.
  void Tick(Time now, std::size_t programRoom);
  // The modem cannot go on (no memory): the call ends with `why`.
  void Fail(const QString& why, Time now);

  Effects Take();
  Time Wake() const;
  State state() const { return state_; }
  bool Calling() const { return calling_; }
  LineKind Line() const { return line_; }
  bool Over() const { return state_ == State::Ended; }
  // How many of the program's bytes the call takes now (the rest waits in the pty).
  std::size_t ProgramRoom() const;
  // Whether the stream is read now, and whether its connect is awaited.
  bool ReadsStream() const {
    return state_ == State::Greeting || state_ == State::Choosing || state_ == State::Online;
  }
  bool Connecting() const { return state_ == State::Connecting; }
  // The partner's bytes held for their time, not yet given to the program.
  std::size_t Held() const { return playout_ ? playout_->Held() : 0; }
  // Whether the call is set up or stands (not lingering, not over): a caller hears BUSY.
  bool Busy() const { return state_ != State::Lingering && state_ != State::Ended; }

 private:
  void Greet(std::span<const std::uint8_t> unit, Time now);
  void PeerUnit(std::span<const std::uint8_t> unit, Time now);
  void HandshakeFailed();
  void Established(const std::string& partner);
  void StartChoosing(Time now);
  void ChooseLine(LineKind line, Time now);
  Bytes SealStamped(std::span<const std::uint8_t> bytes, Time now);
  void Figures(Time now);
  void DatagramTick(Time now, std::size_t programRoom);
  void SendDatagrams(Time now);
  void FromLine(std::span<const std::uint8_t> bytes);
  void PlayOut(DatagramLine& line, Time now, std::size_t programRoom);
  void EndHeard(DatagramLine::Event why);
  void Notice(const QString& text);
  void SendUnit(const Bytes& unit);
  void EndCall(const QString& why, Result result);
  void Close(StreamClose how);
  void Say(const QString& text);
  void Report(Result result);
  CallStatus Standing(LineKind line) const;  // the carrier up, on `line`
  void SetStatus(const CallStatus& status);

  const CommandInterpreter& words_;
  bool utf8_;
  State state_ = State::Ended;
  bool calling_ = false;
  DialTarget target_;
  bool stream_ = false;  // the modem holds a stream for the call (connecting, or standing)
  bool datagramsPossible_ = false;
  sockaddr_storage peer_{};
  Time deadline_{};
  std::size_t addresses_ = 0, nextAddress_ = 0;
  int lastError_ = 0;
  StreamFramer framer_{CallHandshake::kMaxMessage};
  std::unique_ptr<CallHandshake> handshake_;
  std::unique_ptr<RecordSealer> sealer_;
  std::unique_ptr<RecordOpener> opener_;
  CallProtection protection_ = CallProtection::None;
  CallKeys keys_{};
  std::string checkCode_;  // an open call's, for the players to compare
  std::string partner_;
  std::unique_ptr<DatagramCall> datagrams_;
  // The partner's bytes, held until their time.
  std::unique_ptr<Playout> playout_;
  // Where this side's times on the stream count from, and the partner's latest, unwrapped.
  Time epoch_{};
  std::optional<std::int64_t> peerClockUs_;
  LineKind line_ = LineKind::None;
  Time nextProbe_{}, figuresAt_{}, lingerUntil_{};
  CallStatus status_;
  // Where the bytes given to the program stand, so that the modem's own lines (a stalled line)
  // go in between the partner's units, never inside one.
  int frameLeft_ = 0;
  bool leadPending_ = false;
  bool lineOpen_ = false;
  std::vector<QString> notices_;
  Effects out_;
};

}  // namespace modem
