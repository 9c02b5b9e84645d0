#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QDate>
#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTime>
#include <array>
#include <deque>
#include <functional>
#include <vector>

#include "routing/RoutingEngine.h"
#include "link/CarrierSource.h"
#include "link/Comm.h"
#include "link/LinkViews.h"
#include "link/LogFile.h"
#include "link/WireParser.h"
#include "platform/ThreadInbox.h"

// What the dialogue asks of the main window's side (ChatLog implements it).
class MainWindowLink {
 public:
  virtual ~MainWindowLink() = default;
  virtual void memoprint(QByteArrayView text) = 0;
  virtual void SetConnected(bool on) = 0;
  virtual void SetComButton(bool pressed) = 0;  // SpeedButton6
};

// The logic behind the connection window: the port Comm1, the receive parser, the Connected
// flag, the connection settings, the command sequence of a dial and the log file. Everything
// here runs on the UI thread except Comm1CommReceive, which reads on the watcher thread and
// hands the block over.
class ModemDialogue final : public LinkPort {
 public:
  static constexpr int kDestinations = 5;
  static constexpr int kInitCommands = 3;

  explicit ModemDialogue(ComFormView& form);
  ~ModemDialogue() override;
  ModemDialogue(const ModemDialogue&) = delete;
  ModemDialogue& operator=(const ModemDialogue&) = delete;

  // Wiring by the owner: the routing engine needs this object as its LinkPort first.
  void SetRoutingEngine(RoutingEngine* engine) { engine_ = engine; }
  void SetMainWindow(MainWindowLink* main) { main_ = main; }
  // Where the clock for the CONNECT line's time stamp comes from (tests fix it).
  void SetClock(std::function<QTime()> now) { now_ = std::move(now); }
  // Who tells whether the modem holds a call: the port's carrier line unless the owner names
  // another (the built-in modem). It must outlive this object or be set back first.
  void SetCarrierSource(const CarrierSource* source) { carrier_ = source != nullptr ? source : &Comm1; }

  TComm Comm1;

  // --- settings, filled by the settings code; destination i (1..5) is entry i-1
  std::array<QString, kDestinations> DestNames;
  std::array<QString, kDestinations> DestNumbers;
  int LineType = 0;  // 0 tone, 1 pulse
  std::array<QString, kInitCommands> InitCommands;
  QString OutsideLinePrefix;
  bool DialsHosts = false;  // the built-in modem: numbers are host names, dialled without the prefix
  QString UserName;
  bool PrintName = false;
  bool MakeLog() const { return makeLog_; }

  static constexpr int kStalledFrameWaitMs = 10;
  // Read from the port and not yet parsed, at most (and one read more): beyond it the port
  // stops reading, and the modem or the peer is held back.
  static constexpr std::size_t kReceiveLimit = 64 * 1024;
  // The parser holds the window no longer than this at a time, so a flood leaves the window
  // answering; it looks at the clock after each slice of bytes.
  static constexpr int kParseTurnMs = 20;
  static constexpr std::size_t kParseSlice = 2048;
  // The busy warning again within this time of the last one is not shown: it is in the chat.
  static constexpr int kRepeatedWarningMs = 3000;

  bool Connected() const { return connected_; }
  // The modem holds a call, so every byte written to the open port goes to the partner: its
  // carrier says so, or, where nothing tells the carrier, the program has a connection.
  bool InCall() const;
  // --- LinkPort: frames go out while a connection stands on an open port (the COM button may
  // have closed it during the call).
  bool LinkUp() const override { return connected_ && Comm1.IsOpen(); }
  // A frame of the performance. A line that stalls or fails is reported once, and until a frame
  // goes through again frames wait no more than a moment and are dropped; nothing is thrown.
  void WriteUnit(std::span<const std::uint8_t> bytes) override;
  void SetConnectedFlag(bool on);  // only SetConnected calls this

  // --- the window's events
  // Opens the log for this run (MakeLog is read once, at creation); a failure is reported and
  // the run goes on without a log.
  void FormCreate(bool makeLog, const QString& folder, QDate startDay);
  void FormDestroy();
  void FormClose();
  void Button1Click();  // "ｷｬﾝｾﾙ"
  void Timer1Timer();

  // --- the dialogue
  void Dial(int i);
  void SendNextCommand();
  void HandleLine(QByteArrayView line);
  void HideDialogue();
  void EndSequence() { CommandIndex = 0; }
  // Closes the port for any command that ends the line, and ends what the peer left sounding.
  void ClosePort();
  void WriteLog(QByteArrayView line);
  int CommandIndexValue() const { return CommandIndex; }
  int WaitSecondsValue() const { return WaitSeconds; }
  const WireParser& Parser() const { return parser_; }

  // Watcher thread: reads Size bytes and hands them to the UI thread in stream order.
  void Comm1CommReceive(TComm& Sender, std::uint16_t Size);
  // UI thread: queues a block and parses every queued block in order, unless a parse is already
  // running further down the stack (a message box's event loop), which then takes it.
  void ReceiveBlock(QByteArrayView block);

 private:
  class Sink;
  enum class Word { Ok, Connect, Error, NoCarrier, Busy };
  bool ModemMaySay(Word word, const CarrierSource::Line& line) const;
  void WarnBusy();
  void PortLost(const QString& reason, std::uint64_t opening);
  void ReleaseRemote();

  ComFormView& form_;
  RoutingEngine* engine_ = nullptr;
  MainWindowLink* main_ = nullptr;
  std::function<QTime()> now_ = [] { return QTime::currentTime(); };

  const CarrierSource* carrier_ = &Comm1;
  bool connected_ = false;
  std::uint64_t connectedCall_ = 0;  // the carrier source's number for the call CONNECT began
  QElapsedTimer busyWarned_;  // since the busy warning was last shown or held back
  bool lineFault_ = false;  // a frame write failed on this opening and was reported
  bool remoteSounding_ = false;  // frames played since the remote part was last released
  std::array<QString, 4> Commands;
  int CommandIndex = 0;
  int WaitSeconds = 0;
  bool makeLog_ = false;
  LogFile LogStream;
  bool logFailureReported_ = false;

  WireParser parser_;
  // Parses what waits, for one turn of the event loop; `whole`: all of it now.
  void Drain(bool whole = false);
  void DrainLater();
  struct Block {
    std::uint64_t opening;  // the port's Generation when the bytes were read
    std::vector<std::uint8_t> bytes;
    bool read = true;      // came through Comm1.Read, so it is Taken once parsed
    std::size_t done = 0;  // bytes parsed so far
  };
  std::deque<Block> pending_;  // received, waiting for the parser (UI thread)
  std::uint64_t parsedOpening_ = 0;
  bool draining_ = false;
  bool drainQueued_ = false;  // the rest is parsed in a later turn of the event loop
  ThreadInbox inbox_;  // lives on the UI thread: the watcher's blocks and errors reach it here
};
