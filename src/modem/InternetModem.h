#pragma once

#include <QString>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "modem/CallSession.h"
#include "modem/CallStatus.h"
#include "modem/StatusBoard.h"
#include "modem/CallerGate.h"
#include "modem/ModemCommands.h"
#include "modem/ModemPty.h"
#include "modem/PartnerKeys.h"
#include "modem/PortMap.h"
#include "modem/Sockets.h"

// The built-in modem: calls over the internet, on a TCP stream or on UDP datagrams when the path
// carries them. It owns a pty pair: a program opens the slave's path as it would open a serial
// device with a modem on it, and the modem works the master side on a thread of its own.
// Closing the slave is the program dropping DTR: the call ends and the modem resets.
//
// This class is the I/O around pure parts: the pty, the sockets, poll(), the clock and the name
// lookup's thread. It hands every event to the command interpreter, the gate that screens
// callers (CallerGate) or the call (CallSession) with the time, carries out what they return and
// sleeps until the earliest time one of them asks to be woken. Until a caller has proved the
// password the answering program hears nothing of it: no RING, no byte.
namespace modem {

struct ModemOptions {
  std::uint16_t listenPort = kDefaultPort;  // 0: any free port (see BoundPort)
  std::string linkPath;  // a symbolic link to the pty made here and removed at the end; empty: none
  bool utf8 = false;     // the modem's own texts in UTF-8 instead of the program's Shift-JIS
  std::string password;  // both sides of a call must hold the same one; empty: an open call
  bool portMap = true;   // while waiting, ask the router to open the port (see PortMap)
  std::string partnerKeys;  // the file of the keys kept from earlier calls; empty: this run's only
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
  const std::string& DevicePath() const { return pty_.DevicePath(); }
  const std::string& SlavePath() const { return pty_.SlavePath(); }
  // The port calls are taken on from the next ATS0=1 on.
  void SetListenPort(std::uint16_t port) { listenPort_ = port; }
  std::uint16_t ListenPort() const { return listenPort_; }
  // The port listening now, 0 while not taking calls.
  std::uint16_t BoundPort() const { return boundPort_; }
  // The call as it stands; any thread may ask.
  CallStatus Status() const { return status_.Get(); }
  // The password for the calls from the next one on (UTF-8 as the user typed it); empty: calls
  // open to anyone who knows the address. Any thread.
  void SetPassword(std::string password);
  // Whether the next wait asks the router to open the port; any thread.
  void SetPortMap(bool on) { portMap_.SetEnabled(on); }
  // S41 as the modem starts: 0 the partner's notes as they arrive, 1-200 a fixed delay in ms,
  // else automatic; from the next ATZ or port opening on. Any thread.
  void SetPlayout(int s41) { commands_.SetPlayoutDefault(s41); }
  // What a caller should dial while this modem waits ("203.0.113.5:24680"); empty while there
  // is nothing to give. Any thread.
  std::string CallerAddress() const { return portMap_.CallerAddress(); }

  // Callers being answered at once, in all and from one address (IPv6: one /64).
  static constexpr std::size_t kMaxIncoming = CallerGate::kMaxIncoming;
  static constexpr std::size_t kMaxIncomingPerAddress = CallerGate::kMaxIncomingPerAddress;
  // Handshakes answered for an address before it is slowed down, and the longest wait then.
  static constexpr int kFreeTries = CallerGate::kFreeTries;
  static constexpr std::chrono::seconds kLongestWait = CallerGate::kLongestWait;

 private:
  struct Incoming;
  using Clock = std::chrono::steady_clock;

  // ModemLine, called by the interpreter on the modem's thread
  bool SetAnswering(bool on, std::string& why) override;
  void Dial(const DialTarget& target) override;
  std::uint16_t DefaultPort() const override { return kDefaultPort; }
  std::string Identification() const override;

  void Run();
  bool PollTimeout(timespec& wait) const;
  bool InCall() const { return session_ && session_->Busy(); }
  void Apply(CallSession& session);
  void Settle();
  void Tick();
  void Farewell();
  void FromProgram();
  void ToProgram();
  void FromPeer();
  void ToPeer();
  void ProgramGone();
  void SlaveEvents();
  void TakeCall();
  void FromCaller(Incoming& in);
  void HangUp(CallerGate::Id id);
  void Answer(Incoming& in, CallerGate::Verdict& verdict);
  void LookupDone();
  void ConnectTo(std::size_t address);
  void Connected();
  void FromDatagrams(int socket);
  void CloseStream(CallSession::StreamClose how);
  void EndLinger();
  std::string Password() const;
  void StopListening();
  void PortMapNews();
  void Say(const QString& text);
  void SetStatus(const CallStatus& status);
  void PublishDoor();
  std::string Encoded(const QString& text) const;

  ModemOptions options_;
  ModemPty pty_;
  int wake_ = -1;
  std::atomic<std::uint16_t> listenPort_;
  std::atomic<std::uint16_t> boundPort_{0};

  // Everything below is the modem thread's alone.
  CommandInterpreter commands_{*this};
  int holders_ = 0;  // open descriptors of the slave; none: DTR is down
  std::string toProgram_;
  std::string toPeer_;
  int listen_ = -1;
  Clock::time_point listenPausedUntil_{};  // out of descriptors: the listener rests a moment
  CallerGate gate_;
  PartnerKeys partners_{options_.partnerKeys};
  std::vector<std::unique_ptr<Incoming>> incoming_;
  // The call, and its stream: the caller's connection, or the one a caller was answered on.
  std::unique_ptr<CallSession> session_;
  int call_ = -1;
  // Datagrams: the answering port's socket (while taking calls), and the caller's own.
  int udpListen_ = -1;
  int udpCall_ = -1;
  // A datagram call this side has hung up: it stays a moment on its own socket to send the end
  // again until the partner says it has it; the modem meanwhile is free for the next.
  std::unique_ptr<CallSession> lingering_;
  int lingerSocket_ = -1;
  bool lingerOnListenPort_ = false;
  NameLookups lookups_;
  std::vector<std::vector<std::uint8_t>> addresses_;  // sockaddr bytes, in the order to try

  StatusBoard status_;
  mutable std::mutex passwordLock_;
  std::string password_;  // guarded by passwordLock_

  PortMap portMap_;  // its own thread; told from the modem's

  std::thread thread_;
};

}  // namespace modem
