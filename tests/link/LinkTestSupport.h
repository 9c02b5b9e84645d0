#pragma once

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <QByteArray>
#include <QCoreApplication>
#include <QDate>
#include <QDir>
#include <QTemporaryDir>
#include <QString>
#include <QStringList>
#include <QTest>
#include <QTime>
#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "routing/RoutingEngine.h"
#include "support/WaitFor.h"
#include "link/ChatLog.h"
#include "link/LinkViews.h"
#include "link/ModemDialogue.h"
#include "link/SerialLink.h"
#include "support/RecordingMidi.h"
#include "support/RecordingViews.h"

// A pseudo-terminal pair: the program opens the slave's path as its serial device, the test
// talks on the master side.
class PtyPair {
 public:
  PtyPair() {
    int slave = -1;
    char name[256] = {};
    if (::openpty(&master_, &slave, name, nullptr, nullptr) != 0) throw std::runtime_error("openpty");
    // Raw from the start, so nothing written before the program opens the slave is echoed.
    termios tio{};
    ::tcgetattr(slave, &tio);
    ::cfmakeraw(&tio);
    ::tcsetattr(slave, TCSANOW, &tio);
    ::close(slave);
    path_ = QString::fromLocal8Bit(name);
    ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
  }
  ~PtyPair() { CloseMaster(); }
  PtyPair(const PtyPair&) = delete;
  PtyPair& operator=(const PtyPair&) = delete;

  const QString& SlavePath() const { return path_; }
  int Master() const { return master_; }
  void CloseMaster() {
    if (master_ >= 0) ::close(master_);
    master_ = -1;
  }

  void Write(const QByteArray& bytes) const {
    qsizetype done = 0;
    while (done < bytes.size()) {
      const ssize_t n =
          ::write(master_, bytes.constData() + done, static_cast<std::size_t>(bytes.size() - done));
      if (n > 0) {
        done += n;
      } else {
        pollfd p{master_, POLLOUT, 0};
        ::poll(&p, 1, 100);
      }
    }
  }
  // Reads what arrives until `ms` pass without a byte. The UI thread's event loop keeps running
  // meanwhile, so the program answers what it receives.
  QByteArray Read(int ms = 100) const {
    QByteArray out;
    auto quietSince = std::chrono::steady_clock::now();
    for (;;) {
      QCoreApplication::processEvents();
      pollfd p{master_, POLLIN, 0};
      if (::poll(&p, 1, 5) > 0 && (p.revents & POLLIN)) {
        char buf[4096];
        const ssize_t n = ::read(master_, buf, sizeof buf);
        if (n > 0) {
          out.append(buf, n);
          quietSince = std::chrono::steady_clock::now();
          continue;
        }
      }
      if (std::chrono::steady_clock::now() - quietSince >= std::chrono::milliseconds(ms)) return out;
    }
  }
  // Reads until `want` bytes came or `ms` passed.
  QByteArray ReadCount(qsizetype want, int ms = 2000) const {
    QByteArray out;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (out.size() < want && std::chrono::steady_clock::now() < deadline) out += Read(20);
    return out;
  }

 private:
  int master_ = -1;
  QString path_;
};

class RecordingComForm final : public ComFormView {
 public:
  bool shown = false;
  bool timer = false;
  QString label1, label2, label3;
  QStringList messages, warnings, errors;
  std::vector<std::string>* journal = nullptr;    // shared order of events, when set
  std::function<void(const QString&)> onWarning;  // e.g. a nested event loop
  std::function<void(const QString&)> onError;    // e.g. a box that itself fails

  void ShowForm() override {
    shown = true;
    Log("form shown");
  }
  void HideForm() override {
    shown = false;
    Log("form hidden");
  }
  void SetLabel1(const QString& t) override { label1 = t; }
  void SetLabel2(const QString& t) override { label2 = t; }
  void SetLabel3(const QString& t) override { label3 = t; }
  void SetWaitTimer(bool on) override { timer = on; }
  void ShowMessage(const QString& t) override {
    messages << t;
    Log("message " + t.toStdString());
  }
  void ShowWarning(const QString& t) override {
    warnings << t;
    Log("warning begins");
    if (onWarning) onWarning(t);
    Log("warning ends");
  }
  void ShowError(const QString& t) override {
    errors << t;
    Log("error " + t.toStdString());
    if (onError) onError(t);
  }

 private:
  void Log(const std::string& e) {
    if (journal) journal->push_back(e);
  }
};

class RecordingChatView final : public ChatView {
 public:
  QStringList chat;
  bool bothScrollBars = false;
  QString input;
  QStringList history;
  int focusCount = 0;
  QString panels[4];
  bool clock = false;
  bool comButton = false;
  QStringList messages;
  std::vector<std::string>* journal = nullptr;

  void AppendChatLine(const QString& t) override {
    chat << t;
    Log("chat " + t.toStdString());
  }
  void ClearChat() override { chat.clear(); }
  void SetChatScrollBars(bool both) override { bothScrollBars = both; }
  QString InputText() const override { return input; }
  void SetInputText(const QString& t) override { input = t; }
  void ShowHistory(const QStringList& h) override { history = h; }
  void FocusInput() override { ++focusCount; }
  void SetStatusPanel(int panel, const QString& t) override { panels[panel] = t; }
  void SetClockTimer(bool on) override { clock = on; }
  bool ComButtonPressed() const override { return comButton; }
  void SetComButton(bool pressed) override { comButton = pressed; }
  void ShowMessage(const QString& t) override { messages << t; }

 private:
  void Log(const std::string& e) {
    if (journal) journal->push_back(e);
  }
};

// A carrier line as a serial modem's DCD or the built-in modem would report it.
struct ScriptedCarrier final : CarrierSource {
  Carrier state = Carrier::Unknown;
  Carrier CarrierState() const override { return state; }
};

// One side of the program's link, made as the program makes it: the port, its routing engine on
// fake MIDI devices, the main window's chat side and the dialogue, with every window effect
// recorded. `builtInModem` tells the call while the dialogue's BuiltInModem is set; by default
// the rig's own scripted carrier.
struct LinkRig {
  explicit LinkRig(const QString& device = QString(), const CarrierSource* builtInModem = nullptr)
      : dialogue{port, engine, chat, form, builtInModem ? *builtInModem : carrier, [] { return QTime(10, 0, 0); }} {
    form.journal = &journal;
    chatView.journal = &journal;
    port.Comm1.SetDevicePath(device);
    engine.OpenMidiDevices();
    midi.out->Clear();
  }
  LinkRig(const LinkRig&) = delete;
  LinkRig& operator=(const LinkRig&) = delete;
  // The messages the output received on one channel, in order.
  std::vector<ShortMessage> OutputOn(int channel) const {
    std::vector<ShortMessage> out;
    for (ShortMessage m : midi.out->shorts) {
      if (static_cast<int>(m & 0x0F) == channel) out.push_back(m);
    }
    return out;
  }
  // Where the day's log goes: a folder of the rig's own, never the checkout or the working folder.
  QString LogFile(QDate day) const { return logFolder.filePath(::LogFile::FileName(day)); }

  QTemporaryDir logFolder;
  std::vector<std::string> journal;
  RecordingComForm form;
  RecordingChatView chatView;
  FakeMidiSystem midi;
  RecordingRoutingView routingView;
  FixedDeviceChoice choice;
  ScriptedCarrier carrier;
  SerialLink port{form};
  RoutingEngine engine{midi, routingView, choice, port};
  ChatLog chat{chatView};
  ModemDialogue dialogue;
};
