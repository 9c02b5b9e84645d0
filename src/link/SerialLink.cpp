#include "link/SerialLink.h"

#include <chrono>
#include <exception>

#include "platform/UserError.h"

namespace {

const QString kFramesDropped =
    QStringLiteral("回線が回復するまで、演奏は相手に送られません（こちらでは鳴り続けます）。");

}  // namespace

SerialLink::SerialLink(ComFormView& errors) : errors_(errors) {
  Comm1.SetPort(2);
  Comm1.SetBaudRate(56000);
  Comm1.SetFlowControls({TCommFlowControl::cfcDtrDsr, TCommFlowControl::cfcRtsCts});
  Comm1.SetReceiveNotifySize(1024);
  Comm1.SetReceiveLimit(kReceiveLimit);
  Comm1.OnCommReceive = [this](TComm& sender, std::uint16_t size) { Comm1CommReceive(sender, size); };
  // The serial inbox's error boundary: whatever a handed-over task throws is reported here.
  inbox_.SetErrorHandler([this](std::exception_ptr error) { errors_.ShowError(ErrorText(error)); });
  // An error or the port's loss comes after the bytes read before it, through the same inbox.
  Comm1.OnCommException = [this](TComm&, std::exception_ptr error) {
    const QString text = ErrorText(error);
    inbox_.Post([this, text] { emit WatcherFailed(text); });
  };
  Comm1.OnCommLost = [this](TComm& sender, const QString& reason) {
    const std::uint64_t opening = sender.Generation();
    inbox_.Post([this, reason, opening] { emit Lost(opening, reason); });
  };
}

SerialLink::~SerialLink() {
  // The watcher must be gone before the hand-over target goes.
  Comm1.Close();
}

void SerialLink::SetConnected(bool on) {
  connected_ = on;
  lineFault_ = false;
}

void SerialLink::Close() {
  Comm1.Close();
  lineFault_ = false;
}

void SerialLink::WriteUnit(std::span<const std::uint8_t> bytes) {
  if (lineFault_) {
    // Reported already: a moment's try, then the frame is dropped. One that goes through means
    // the line moves again, and frames get their full time once more.
    try {
      Comm1.Write(bytes, std::chrono::milliseconds(kStalledFrameWaitMs));
      lineFault_ = false;
    } catch (const ECommError&) {
    }
    return;
  }
  try {
    Comm1.Write(bytes);
  } catch (const ECommError& e) {
    lineFault_ = true;
    errors_.ShowError(e.Message() + QStringLiteral("\n") + kFramesDropped);
  }
}

void SerialLink::Comm1CommReceive(TComm& Sender, std::uint16_t Size) {
  std::vector<std::uint8_t> block(Size);
  block.resize(Sender.Read(block));
  if (block.empty()) return;
  const std::uint64_t opening = Sender.Generation();
  // Watcher thread -> UI thread, behind every block and error posted before it.
  inbox_.Post([this, opening, block = std::move(block)] { emit BlockRead(opening, block); });
}
