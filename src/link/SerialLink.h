#pragma once

#include <QObject>
#include <QString>
#include <cstdint>
#include <span>
#include <vector>

#include "link/Comm.h"
#include "link/LinkViews.h"
#include "platform/ThreadInbox.h"
#include "routing/RoutingEngine.h"

// The port to the modem, Comm1, as the performance uses it: whether a connection stands, and a
// write that sends one frame whole. What the port reads it announces on the UI thread, in the
// stream's order, to whoever listens; it calls nobody. The first link of the chain: the routing
// engine writes to it, the modem dialogue listens to it and drives it.
class SerialLink final : public QObject, public LinkPort {
  Q_OBJECT
 public:
  static constexpr int kStalledFrameWaitMs = 10;
  // Read from the port and not yet parsed, at most (and one read more): beyond it the port
  // stops reading, and the modem or the peer is held back.
  static constexpr std::size_t kReceiveLimit = 64 * 1024;

  // `errors`: where a frame that could not be written is reported.
  explicit SerialLink(ComFormView& errors);
  ~SerialLink() override;
  SerialLink(const SerialLink&) = delete;
  SerialLink& operator=(const SerialLink&) = delete;

  TComm Comm1;

  bool Connected() const { return connected_; }
  void SetConnected(bool on);
  // Closes the port; a line fault reported on this opening is forgotten with it.
  void Close();
  // A frame write met a fault on this opening and it was reported.
  bool LineFault() const { return lineFault_; }

  // --- LinkPort: frames go out while a connection stands on an open port (the COM button may
  // have closed it during the call).
  bool LinkUp() const override { return connected_ && Comm1.IsOpen(); }
  // A frame of the performance. A line that stalls or fails is reported once, and until a frame
  // goes through again frames wait no more than a moment and are dropped; nothing is thrown.
  void WriteUnit(std::span<const std::uint8_t> bytes) override;

  // Watcher thread: reads Size bytes and hands them to the UI thread in stream order.
  void Comm1CommReceive(TComm& Sender, std::uint16_t Size);

 signals:
  // UI thread, in the order the watcher met them. `opening` is the port's Generation then.
  void BlockRead(std::uint64_t opening, const std::vector<std::uint8_t>& bytes);
  void WatcherFailed(const QString& text);
  void Lost(std::uint64_t opening, const QString& reason);

 private:
  ComFormView& errors_;
  bool connected_ = false;
  bool lineFault_ = false;
  ThreadInbox inbox_;  // lives on the UI thread: the watcher's blocks and errors reach it here
};
