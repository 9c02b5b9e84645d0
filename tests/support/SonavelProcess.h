#pragma once

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>

#include "platform/Profile.h"
#include "support/FreeTcpPort.h"
#include "support/WaitFor.h"

// The program as a player runs it, off screen, in a folder of its own: its MIDI input and
// output are the "keys" and "module" ports of the JACK client `peer`, its modem the built-in
// TCP/IP one taking calls on `listen` (with the call password given, if any), and its first
// destination `destination`.
class SonavelProcess {
 public:
  SonavelProcess(const char* peer, int listen, const QString& destination, const QString& password = {}) {
    Profile settings(home_.filePath(QStringLiteral("Sonavel.ini")));
    const QString jack = QStringLiteral("JACK: %1:").arg(QString::fromLatin1(peer));
    settings.WriteString(QStringLiteral("midi"), QStringLiteral("MidiInDeviceName"), jack + QStringLiteral("keys"));
    settings.WriteString(QStringLiteral("midi"), QStringLiteral("MidiOutDeviceName"), jack + QStringLiteral("module"));
    settings.WriteString(QStringLiteral("modem"), QStringLiteral("device"), QStringLiteral("tcp"));
    settings.WriteString(QStringLiteral("modem"), QStringLiteral("listen"), QString::number(listen));
    settings.WriteString(QStringLiteral("modem"), QStringLiteral("portmap"), QStringLiteral("0"));  // not the machine's router
    settings.WriteString(QStringLiteral("names"), QStringLiteral("telnumber1"), destination);
    if (!password.isEmpty()) settings.WriteString(QStringLiteral("modem"), QStringLiteral("password"), password);
    process_.setWorkingDirectory(home_.path());
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    process_.setProcessEnvironment(env);
    process_.setProcessChannelMode(QProcess::ForwardedChannels);
  }
  ~SonavelProcess() {
    if (process_.state() == QProcess::NotRunning) return;
    process_.terminate();
    if (!process_.waitForFinished(5000)) process_.kill();
    process_.waitForFinished(5000);
  }
  SonavelProcess(const SonavelProcess&) = delete;
  SonavelProcess& operator=(const SonavelProcess&) = delete;

  void Start(const QStringList& arguments) {
    process_.start(QStringLiteral(SONAVEL_PROGRAM), arguments);
    process_.waitForStarted(10000);
  }
  bool Running() const { return process_.state() == QProcess::Running; }
  // SIGTERM, as the desktop sends when the window's close box ends the session.
  void Terminate() { process_.terminate(); }
  // The day's log: every line the modem and the peer sent, as the chat window showed it.
  QString Log() const {
    const QStringList logs = QDir(home_.path()).entryList({QStringLiteral("*.log")}, QDir::Files);
    if (logs.isEmpty()) return {};
    QFile f(home_.filePath(logs[0]));
    return f.open(QIODevice::ReadOnly) ? QString::fromLatin1(f.readAll()) : QString();
  }
  bool Connected() const { return Log().contains(QStringLiteral("CONNECT")); }
  // How many times the log holds `word` (a program that stays up logs one call after another).
  qsizetype Count(const char* word) const { return Log().count(QLatin1String(word)); }

 private:
  QTemporaryDir home_;
  QProcess process_;
};
