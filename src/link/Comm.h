#pragma once

#include <QByteArrayView>
#include <QString>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <thread>
#include <vector>

#include "link/CarrierSource.h"
#include "platform/UserError.h"
#include "platform/serial/SerialDevice.h"

// The serial port component: one port, its line settings as properties, whole-unit writes and a
// watcher thread that reports received bytes.

enum class TCommParityBits : std::uint8_t { cpbNone, cpbOdd, cpbEven, cpbMark, cpbSpace };
enum class TCommByteSize : std::uint8_t { cbs4, cbs5, cbs6, cbs7, cbs8 };
enum class TCommStopBits : std::uint8_t { csb1, csb15, csb2 };
enum class TCommFlowControl : std::uint8_t { cfcDtrDsr, cfcRtsCts, cfcXonXoff };

// Set of TCommFlowControl, bit i for member i (the settings file stores this byte).
struct TCommFlowControls {
  std::uint8_t bits = 0;
  constexpr TCommFlowControls() = default;
  constexpr TCommFlowControls(std::initializer_list<TCommFlowControl> members) {
    for (auto m : members) bits |= static_cast<std::uint8_t>(1u << static_cast<int>(m));
  }
  static constexpr TCommFlowControls FromBits(std::uint8_t b) {
    TCommFlowControls s;
    s.bits = b & 0x07;
    return s;
  }
  constexpr bool Contains(TCommFlowControl m) const { return (bits >> static_cast<int>(m)) & 1u; }
  constexpr bool operator==(const TCommFlowControls&) const = default;
};

enum class TCommEvents : std::uint8_t {
  evRxchar,
  evRxflag,
  evTxempty,
  evCts,
  evDsr,
  evRlsd,
  evBreak,
  evErr,
  evRing,
  evPerr
};
// Set of TCommEvents, bit i for member i.
using TCommEventMask = std::uint16_t;

// Misuse of the port ("通信が開始されていない。", "送信データ長が長すぎる。").
class ECommError : public UserError {
 public:
  explicit ECommError(const QString& message) : UserError(message) {}
};

// The port could not be opened. The message keeps "オープンエラー ErrorCode = %d" and adds the
// device and what the system said, so the user knows which device to check and why.
class ECommOpenError : public ECommError {
 public:
  ECommOpenError(int errorCode, const QString& device, const QString& reason);
  int ErrorCode() const { return errorCode_; }

 private:
  int errorCode_;
};

// A read or write the device refused ("入出力エラー ErrorCode = %d", the code is errno).
class ECommReadWriteError : public ECommError {
 public:
  ECommReadWriteError(int errorCode, const QString& device, const QString& reason);
  int ErrorCode() const { return errorCode_; }

 private:
  int errorCode_;
};

class TComm;

// Watches the open device on its own thread: poll() on the device and on an eventfd that Close
// signals. Received bytes go to TComm::DoCommReceive, still on this thread.
class TCommWatch {
 public:
  TCommWatch(TComm& comm, int commHandle);
  ~TCommWatch();  // signals and joins unless it is the watcher itself being torn down
  TCommWatch(const TCommWatch&) = delete;
  TCommWatch& operator=(const TCommWatch&) = delete;

  void Stop();  // wakes the thread; it leaves its loop
  void Join();
  bool IsWatcherThread() const { return std::this_thread::get_id() == thread_.get_id(); }

 private:
  void Execute();

  TComm& Comm;
  int CommHandle;
  int stopFd_ = -1;
  std::thread thread_;
};

class TComm : public CarrierSource {
 public:
  using TCommNotifyRxTxEvent = std::function<void(TComm& Sender, std::uint16_t Size)>;
  using TCommNotifyEvent = std::function<void(TComm& Sender, TCommEventMask EventMask)>;
  // Watcher-thread reports: an exception from a handler (watching goes on), and a device that
  // vanished (watching has ended; the owner should Close). Both run on the watcher thread.
  using TCommExceptionEvent = std::function<void(TComm& Sender, std::exception_ptr error)>;
  using TCommLostEvent = std::function<void(TComm& Sender, const QString& reason)>;

  static constexpr int kIoTimeoutMs = 1000;
  static constexpr int kDrainStepMs = 2;
  // The longest Close waits for queued output to leave; what is left then is dropped.
  static constexpr int kDrainLimitMs = 2000;
  // The smallest transmit buffer a Linux serial driver has (one page): a unit that fits beside
  // what is queued goes into it in one write.
  static constexpr std::size_t kDriverRoom = 4096;

  TComm();
  ~TComm() override;
  TComm(const TComm&) = delete;
  TComm& operator=(const TComm&) = delete;

  // --- published properties (setters marked "re-applied" change an open device at once)
  std::uint8_t Port() const { return port_; }
  void SetPort(std::uint8_t port) { port_ = port; }  // next open
  // Any device path (USB adapter, pty); empty means COM<Port>, i.e. /dev/ttyS<Port-1>.
  QString DevicePath() const { return devicePath_; }
  void SetDevicePath(const QString& path) { devicePath_ = path; }  // next open
  QString DeviceName() const;                                      // the path the next Open uses

  std::int32_t BaudRate() const { return baudRate_; }
  void SetBaudRate(std::int32_t rate);  // re-applied; -1 selects BaudRateUserDefined
  std::int32_t BaudRateUserDefined() const { return baudRateUserDefined_; }
  void SetBaudRateUserDefined(std::int32_t rate) { baudRateUserDefined_ = rate; }
  TCommParityBits ParityBits() const { return parityBits_; }
  void SetParityBits(TCommParityBits parity);  // re-applied
  TCommByteSize ByteSize() const { return byteSize_; }
  void SetByteSize(TCommByteSize size);  // re-applied; cbs4 is refused by termios devices
  TCommStopBits StopBits() const { return stopBits_; }
  void SetStopBits(TCommStopBits bits);  // re-applied
  TCommFlowControls FlowControls() const { return flowControls_; }
  void SetFlowControls(TCommFlowControls flow);  // re-applied
  std::uint16_t InQueueSize() const { return inQueueSize_; }
  void SetInQueueSize(std::uint16_t size) { inQueueSize_ = size; }
  std::uint16_t OutQueueSize() const { return outQueueSize_.load(); }
  void SetOutQueueSize(std::uint16_t size) { outQueueSize_ = size; }  // Write checks at once
  // Kept for the settings only: the watcher hands over whatever is queued, and termios has no
  // transmit-empty event to count against a send size.
  std::int32_t ReceiveNotifySize() const { return receiveNotifySize_; }
  void SetReceiveNotifySize(std::int32_t size) { receiveNotifySize_ = size; }
  std::int32_t SendNotifySize() const { return sendNotifySize_; }
  void SetSendNotifySize(std::int32_t size) { sendNotifySize_ = size; }
  TCommEventMask EventMask() const { return eventMask_; }
  void SetEventMask(TCommEventMask mask) { eventMask_ = mask; }
  bool DsrState() const;
  // The modem's carrier detect line (UI thread). It tells the call only once it has been seen
  // both up and down in this opening: a line whose DCD never rose (a null-modem cable) or never
  // fell (a modem told to hold it on) cannot tell, and a pty has none.
  Carrier CarrierState() const override;

  TCommNotifyEvent OnCommEvent;
  TCommNotifyRxTxEvent OnCommReceive;
  TCommNotifyRxTxEvent OnCommTransmit;
  TCommExceptionEvent OnCommException;
  TCommLostEvent OnCommLost;

  // --- run-time state
  int Handle() const { return handle_.load(); }  // -1 while closed
  bool IsOpen() const { return Handle() >= 0; }
  // Counts opens, so a report about an earlier opening can be told from the current one.
  std::uint64_t Generation() const { return generation_.load(); }
  std::size_t InQueueCount() const;
  std::size_t OutQueueCount() const;
  // What the device itself reports now (for checks and diagnostics).
  serial::LineSettings DeviceSettings() const;

  // Bounds what the watcher hands over: once `bytes` that Read returned are not yet Taken, it
  // stops reading the device until they are (0, the default: no bound). The device's queue then
  // fills and flow control holds the far end back (a pty's writer waits; the built-in modem
  // stops reading the network, and TCP slows the peer) instead of the bytes piling up here.
  void SetReceiveLimit(std::size_t bytes) { receiveLimit_ = bytes; }
  // The owner has dealt with `bytes` of what Read handed over in this opening; any thread.
  void Taken(std::size_t bytes);

  // --- operations
  void Open();
  void Close();
  // Sends one unit whole; no other writer's bytes come between. Throws ECommError when closed
  // or longer than OutQueueSize, ECommReadWriteError when the device fails or stays full for
  // longer than the queued bytes need at the line's speed. A unit cut by such a stall is
  // finished before the next one goes out.
  void Write(std::span<const std::uint8_t> buffer);
  // The same, waiting for the line no longer than `limit` (a performance frame on a line already
  // known to be stalled is not worth holding the window for).
  void Write(std::span<const std::uint8_t> buffer, std::chrono::milliseconds limit);
  void WriteString(QByteArrayView text);
  // Reads up to Count queued bytes; returns how many it got.
  std::size_t Read(std::span<std::uint8_t> buffer);
  void Purge();
  // How long Close waits for `queued` bytes to leave: the time they need at the line's speed,
  // never more than kDrainLimitMs.
  std::chrono::milliseconds CloseWait(std::size_t queued) const;

 protected:
  virtual void DoCommEvent(TCommEventMask events);
  virtual void DoCommReceive();
  virtual void DoCommTransmit();

 private:
  friend class TCommWatch;
  serial::LineSettings Settings() const;
  void ApplyIfOpen();
  bool DrainOutput();
  QString OpenDevicePath() const;

  std::uint8_t port_ = 1;
  QString devicePath_;
  std::int32_t baudRate_ = 9600;
  std::int32_t baudRateUserDefined_ = 9600;
  TCommParityBits parityBits_ = TCommParityBits::cpbNone;
  TCommByteSize byteSize_ = TCommByteSize::cbs8;
  TCommStopBits stopBits_ = TCommStopBits::csb1;
  TCommFlowControls flowControls_{TCommFlowControl::cfcRtsCts};
  std::uint16_t inQueueSize_ = 4096;
  std::atomic<std::uint16_t> outQueueSize_{4096};
  std::int32_t receiveNotifySize_ = 3072;
  std::int32_t sendNotifySize_ = 1024;
  TCommEventMask eventMask_ = 0;

  serial::SerialDevice device_;
  QString openPath_;
  std::atomic<int> handle_{-1};
  std::atomic<std::uint64_t> generation_{0};
  std::mutex writeLock_;
  std::atomic<std::size_t> receiveLimit_{0};
  std::atomic<std::size_t> handedOver_{0};  // read in this opening, not yet Taken
  int resumeFd_ = -1;                       // eventfd: Taken wakes a watcher that stopped reading
  bool ReceiveHeld() const;
  mutable bool dcdSeenUp_ = false;  // in this opening (UI thread)
  mutable bool dcdSeenDown_ = false;

  std::vector<std::uint8_t> owed_;  // the rest of a unit a stall interrupted (under writeLock_)

  std::chrono::milliseconds TransmitLimit(std::size_t bytes) const;
  bool SendAll(std::span<const std::uint8_t>& rest, std::chrono::steady_clock::time_point deadline);
  bool WaitForRoom(std::chrono::steady_clock::time_point deadline);
  std::unique_ptr<TCommWatch> Watcher;
};
