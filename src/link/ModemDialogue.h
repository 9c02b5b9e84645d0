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

#include "link/CarrierSource.h"
#include "link/ChatLog.h"
#include "link/LinkViews.h"
#include "link/LogFile.h"
#include "link/SerialLink.h"
#include "link/WireParser.h"
#include "routing/RoutingEngine.h"

// The logic of the connection: the dial and its command sequence, waiting for a call, the
// hang-up, the COM button, the chat line sent, the receive parser and what each line and frame
// means, and the log file. The last link of the chain: it is handed the port, the routing
// engine and the chat log, and nothing holds it but its owner. UI thread.
class ModemDialogue final {
 public:
  static constexpr int kDestinations = 5;
  static constexpr int kInitCommands = 3;

  using Clock = std::function<QTime()>;
  // `builtInModem`: the call as the built-in modem itself tells it, asked while BuiltInModem.
  // `now`: the clock of the CONNECT line's time stamp (tests fix it).
  ModemDialogue(SerialLink& port, RoutingEngine& engine, ChatLog& chat, ComFormView& form,
                const CarrierSource& builtInModem, Clock now = [] { return QTime::currentTime(); });
  ~ModemDialogue();
  ModemDialogue(const ModemDialogue&) = delete;
  ModemDialogue& operator=(const ModemDialogue&) = delete;

  // --- settings, filled by the settings code; destination i (1..5) is entry i-1
  std::array<QString, kDestinations> DestNames;
  std::array<QString, kDestinations> DestNumbers;
  int LineType = 0;  // 0 tone, 1 pulse
  std::array<QString, kInitCommands> InitCommands;
  QString OutsideLinePrefix;
  // The built-in modem: numbers are host names, dialled without the prefix, and the modem
  // itself tells whether it holds a call (a serial modem by its carrier line, if at all).
  bool BuiltInModem = false;
  QString UserName;
  bool PrintName = false;
  bool MakeLog() const { return makeLog_; }

  // The parser holds the window no longer than this at a time, so a flood leaves the window
  // answering; it looks at the clock after each slice of bytes.
  static constexpr int kParseTurnMs = 20;
  static constexpr std::size_t kParseSlice = 2048;
  // The busy warning again within this time of the last one is not shown: it is in the chat.
  static constexpr int kRepeatedWarningMs = 3000;

  bool Connected() const { return port_.Connected(); }
  // The modem holds a call, so every byte written to the open port goes to the partner: its
  // carrier says so, or, where nothing tells the carrier, the program has a connection.
  bool InCall() const;
  // A connection begins or ends: the port's flag, the main window's state and clock; at its end
  // whatever the peer left sounding is ended.
  void SetConnected(bool on);

  // --- the connection window's events
  // Opens the log for this run (MakeLog is read once, at creation); a failure is reported and
  // the run goes on without a log.
  void FormCreate(bool makeLog, const QString& folder, QDate startDay);
  void FormDestroy();
  void FormClose();
  void Button1Click();  // "ｷｬﾝｾﾙ"
  void Timer1Timer();

  // --- the main window's events
  void SendChatLine();  // ComboBox1KeyPress with Enter, Button5Click
  void DialDestination(int n);
  void Button3Click();              // hang up
  void Button10Click();             // wait for a call
  void Button1Click(bool pressed);  // the COM button (SpeedButton6) after its click toggled it
  void KCOM1Click();

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

  // Queues a block and parses every queued block in order, unless a parse is already
  // running further down the stack (a message box's event loop), which then takes it.
  void ReceiveBlock(QByteArrayView block);

 private:
  class Sink;
  enum class Word { Ok, Connect, Error, NoCarrier, Busy };
  bool ModemMaySay(Word word, const CarrierSource::Line& line) const;
  void WarnBusy();
  void PortLost(const QString& reason, std::uint64_t opening);
  void ReleaseRemote();

  CarrierSource::Line Carrier() const;
  // The port's reports arrive as signals, whose frame is Qt's: nothing may leave them thrown.
  void Reported(const std::function<void()>& work);

  SerialLink& port_;
  RoutingEngine& engine_;
  ChatLog& chat_;
  ComFormView& form_;
  const CarrierSource& builtInModem_;
  const Clock now_;

  std::uint64_t connectedCall_ = 0;  // the carrier source's number for the call CONNECT began
  QElapsedTimer busyWarned_;  // since the busy warning was last shown or held back
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
  // The later turns of the parse, and the port's signals, go to this; they go with it.
  QObject turns_;
};
