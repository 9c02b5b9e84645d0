#pragma once

#include <QString>
#include <atomic>
#include <chrono>
#include <map>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "modem/CallHandshake.h"
#include "modem/CallStatus.h"
#include "modem/DatagramCall.h"
#include "modem/ModemCommands.h"
#include "modem/SealedRecords.h"
#include "modem/PortMap.h"
#include "platform/UserError.h"

// A modem whose telephone line is a TCP connection. It owns a pty pair: a program opens the
// slave's path as it would open a serial device with a modem on it, and the modem works the
// master side on a thread of its own. Closing the slave is the program dropping DTR: the call
// ends and the modem resets.
//
// Between two of these modems a call begins with a handshake (CallHandshake): the password, if
// there is one, is proved without being sent, and keys are agreed for this call alone. After it
// what one read of the program brings travels as one sealed record (SealedRecords), and the far
// modem hands its bytes to its program unchanged. Until a caller has proved the password the
// answering program hears nothing of it: no RING, no byte.
namespace modem {

// The pty could not be made, or the link path could not be put there.
class ModemError : public UserError {
 public:
  using UserError::UserError;
};

struct ModemOptions {
  std::uint16_t listenPort = kDefaultPort;  // 0: any free port (see BoundPort)
  std::string linkPath;  // a symbolic link to the pty made here and removed at the end; empty: none
  bool utf8 = false;     // the modem's own texts in UTF-8 instead of the program's Shift-JIS
  std::string password;  // both sides of a call must hold the same one; empty: an open call
  bool portMap = true;   // while waiting, ask the router to open the port (see PortMap)
  // Each line about the router's port, as the modem says it; on the modem's thread.
  std::function<void(const QString&)> onPortMapLine;
};

class InternetModem final : ModemLine {
 public:
  explicit InternetModem(ModemOptions options = {});
  ~InternetModem() override;
  InternetModem(const InternetModem&) = delete;
  InternetModem& operator=(const InternetModem&) = delete;

  // What a program opens: the link path if one was asked for, else the pty slave.
  const std::string& DevicePath() const { return devicePath_; }
  const std::string& SlavePath() const { return slavePath_; }
  // The port calls are taken on from the next ATS0=1 on.
  void SetListenPort(std::uint16_t port) { listenPort_ = port; }
  std::uint16_t ListenPort() const { return listenPort_; }
  // The port listening now, 0 while not taking calls.
  std::uint16_t BoundPort() const { return boundPort_; }
  // The call as it stands; any thread may ask.
  CallStatus Status() const;
  // The password for the calls from the next one on (UTF-8 as the user typed it); empty: calls
  // open to anyone who knows the address. Any thread.
  void SetPassword(std::string password);
  // Whether the next wait asks the router to open the port; any thread.
  void SetPortMap(bool on) { portMap_.SetEnabled(on); }
  // What a caller should dial while this modem waits ("203.0.113.5:24680"); empty while there
  // is nothing to give. Any thread.
  std::string CallerAddress() const { return portMap_.CallerAddress(); }

  // Callers being answered at once, in all and from one address (IPv6: one /64).
  static constexpr std::size_t kMaxIncoming = 16;
  static constexpr std::size_t kMaxIncomingPerAddress = 4;
  // Handshakes answered for an address before it is slowed down, and the longest wait then.
  static constexpr int kFreeTries = 3;
  static constexpr std::chrono::seconds kLongestWait{60};

 private:
  // Choosing: the call stands, and the caller finds out whether the path carries datagrams.
  enum class State { Command, Resolving, Connecting, Greeting, Choosing, Online };
  struct Lookup;
  struct Incoming;
  struct Tries {
    int failed = 0;  // handshakes answered without a call coming of them
    std::chrono::steady_clock::time_point last, until;
  };
  using Clock = std::chrono::steady_clock;

  // ModemLine, called by the interpreter on the modem's thread
  bool SetAnswering(bool on, std::string& why) override;
  void Dial(const DialTarget& target) override;
  std::uint16_t DefaultPort() const override { return kDefaultPort; }
  std::string Identification() const override;

  void Run();
  int PollTimeout() const;
  void FromProgram();
  void ToProgram();
  void FromPeer();
  void ToPeer();
  void ProgramGone();
  void SlaveEvents();
  void TakeCall();
  void FromCaller(Incoming& in);
  void CallerUnit(Incoming& in, std::span<const std::uint8_t> unit);
  void TurnAway(Incoming& in, const Bytes& word);
  void Answer(Incoming& in);
  bool Throttled(const std::string& address);
  void Tried(const std::string& address, bool succeeded);
  void StartLookup(const DialTarget& target);
  void ReapLookups(bool wait);
  void LookupDone();
  void TryNextAddress();
  void Connected();
  void PeerUnit(std::span<const std::uint8_t> unit);
  void HandshakeFailed();
  void Established(const std::string& partner);
  void SendUnit(const Bytes& unit);
  void StartChoosing(bool caller);
  void ChooseLine(LineKind line);
  void FromDatagrams(int socket);
  void DatagramTick();
  void FromLine(std::span<const std::uint8_t> bytes);
  void Notice(const QString& text);
  void Linger(int& socket);
  void LingerTick();
  void EndLinger();
  std::string Password() const;
  void CheckDeadlines();
  void EndCall(const QString& why, Result result);
  void CloseCall();
  void StopListening();
  void PortMapNews();
  void Report(Result result);
  void Say(const QString& text);
  void SetStatus(const CallStatus& status);
  std::string Encoded(const QString& text) const;

  ModemOptions options_;
  std::string slavePath_;
  std::string devicePath_;
  int master_ = -1;
  int wake_ = -1;
  int watch_ = -1;  // inotify on the slave: its opens and closes
  std::atomic<std::uint16_t> listenPort_;
  std::atomic<std::uint16_t> boundPort_{0};

  // Everything below is the modem thread's alone.
  CommandInterpreter commands_{*this};
  int holders_ = 0;  // open descriptors of the slave; none: DTR is down
  State state_ = State::Command;
  std::string toProgram_;
  std::string toPeer_;
  int listen_ = -1;
  Clock::time_point listenPausedUntil_{};  // out of descriptors: the listener rests a moment
  int call_ = -1;
  // The call's line: units on the TCP stream. A datagram line would replace these three and
  // SendUnit; the handshake and the records stay as they are.
  StreamFramer framer_{CallHandshake::kMaxMessage};
  std::unique_ptr<CallHandshake> handshake_;
  std::unique_ptr<RecordSealer> sealer_;
  std::unique_ptr<RecordOpener> opener_;
  CallProtection protection_ = CallProtection::None;
  // The datagram line: the answering port's datagram socket (while taking calls), the caller's
  // own, and the call on it once the handshake has given the keys.
  int udpListen_ = -1;
  int udpCall_ = -1;
  std::unique_ptr<DatagramCall> datagrams_;
  CallKeys keys_{};
  LineKind line_ = LineKind::None;
  bool calling_ = false;
  std::string partner_;
  // A datagram call this side has hung up: it stays a moment (kLinger) on its own socket to send
  // the end again until the partner says it has it; the modem meanwhile is free for the next.
  std::unique_ptr<DatagramCall> lingering_;
  int lingerSocket_ = -1;
  bool lingerOnListenPort_ = false;
  Clock::time_point lingerUntil_{};
  Clock::time_point nextProbe_{};
  Clock::time_point figuresAt_{};
  // Where the bytes given to the program stand, so that the modem's own lines (a stalled line)
  // go in between the partner's units, never inside one.
  int frameLeft_ = 0;
  bool leadPending_ = false;
  bool lineOpen_ = false;
  std::vector<QString> notices_;
  DialTarget target_;
  Clock::time_point deadline_{};
  std::shared_ptr<Lookup> lookup_;
  std::vector<std::pair<std::shared_ptr<Lookup>, std::thread>> lookups_;  // joined when done
  std::vector<std::vector<std::uint8_t>> addresses_;  // sockaddr bytes, in the order to try
  std::size_t nextAddress_ = 0;
  int lastError_ = 0;
  std::vector<std::unique_ptr<Incoming>> incoming_;
  std::map<std::string, Tries> tries_;  // by address, at most kTriesKept

  mutable std::mutex statusLock_;
  CallStatus status_;  // guarded by statusLock_; written by the modem's thread
  int statusSocket_ = -1;  // guarded by statusLock_: the call's socket while the carrier is up
  mutable std::mutex passwordLock_;
  std::string password_;  // guarded by passwordLock_

  PortMap portMap_;  // its own thread; told from the modem's

  std::thread thread_;
};

}  // namespace modem
