#pragma once

#include <QStringList>
#include <optional>
#include <string>

#include "support/JackMidiPeer.h"
#include "support/JackServer.h"
#include "support/SonavelProcess.h"

// Two players over the internet: two copies of the program as separate processes, each with
// its own keyboard and sound module (the JACK clients "first" and "second") on one private JACK
// server, joined by their built-in TCP/IP modems over loopback. The first waits for the call on
// `port`; the second has it as its destination 1. Both hold `password` (empty: an open call).
class TwoPrograms {
 public:
  static constexpr int kStartMs = 15000;  // for a program to start and its call to stand

  explicit TwoPrograms(const QString& password = {}, int framesPerPeriod = 256)
      : server(framesPerPeriod), password_(password) {}

  // The JACK server, both players' ports and a free port for the call are there.
  bool Ready() const { return server.Running() && first.Ok() && second.Ok() && port > 0; }

  // Starts the first program waiting for a call; true once it has told its modem to answer.
  bool Answer() {
    answering.emplace("first", port, QString(), password_);
    answering->Start({QStringLiteral("--answer")});
    return WaitFor([&] { return answering->Log().contains(QStringLiteral("ats0=1")); }, kStartMs);
  }
  // Starts the second program dialling the first; true once both logs say CONNECT.
  bool Dial() {
    calling.emplace("second", FreeTcpPort(), QStringLiteral("127.0.0.1:%1").arg(port), password_);
    calling->Start({QStringLiteral("--dial"), QStringLiteral("1")});
    return WaitFor([&] { return answering->Connected() && calling->Connected(); }, kStartMs);
  }

  // Both programs' logs, for a failure's message.
  std::string Logs() const {
    const auto log = [](const std::optional<SonavelProcess>& p) {
      return p ? p->Log().toStdString() : "(not started)";
    };
    return "first:\n" + log(answering) + "\nsecond:\n" + log(calling);
  }

  JackServer server;
  JackMidiPeer first{"first"};
  JackMidiPeer second{"second"};
  const int port = FreeTcpPort();
  std::optional<SonavelProcess> answering;
  std::optional<SonavelProcess> calling;

 private:
  QString password_;
};
