#include <gtest/gtest.h>

#include <unistd.h>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <algorithm>
#include <chrono>
#include <functional>
#include <vector>

#include "platform/Profile.h"
#include "support/FarEnd.h"
#include "support/JackMidiPeer.h"
#include "support/JackServer.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

// Waits for a condition on what other processes do; the one kind of wait on the clock a test
// of a separate process needs.
bool WaitFor(const std::function<bool()>& done, std::chrono::milliseconds limit = std::chrono::seconds(15)) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < deadline) {
    if (done()) return true;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    usleep(5000);
  }
  return done();
}

class EndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server.Running()) << server.Error();
    ASSERT_TRUE(peer.Ok());
    ASSERT_TRUE(modem.Ok());
    ASSERT_TRUE(home.isValid());
  }
  void TearDown() override {
    if (program.state() != QProcess::NotRunning) {
      program.terminate();
      if (!program.waitForFinished(5000)) program.kill();
      program.waitForFinished(5000);
    }
  }
  QString Log() const {
    const QStringList logs = QDir(home.path()).entryList({QStringLiteral("*.log")}, QDir::Files);
    if (logs.isEmpty()) return {};
    QFile f(home.filePath(logs[0]));
    return f.open(QIODevice::ReadOnly) ? QString::fromLatin1(f.readAll()) : QString();
  }

  JackServer server;
  JackMidiPeer peer{"e2e"};
  FarEnd modem;  // the modem's side of the program's serial port
  QTemporaryDir home;
  QProcess program;
};

TEST_F(EndToEnd, NotesSoundLocallyGoToThePeerOnceConnectedAndThePeersFramesSoundRemote) {
  Profile settings(home.filePath(QStringLiteral("Sonavel.ini")));
  settings.WriteString(QStringLiteral("midi"), QStringLiteral("MidiInDeviceName"),
                       QStringLiteral("JACK: e2e:keys"));
  settings.WriteString(QStringLiteral("midi"), QStringLiteral("MidiOutDeviceName"),
                       QStringLiteral("JACK: e2e:module"));
  settings.WriteString(QStringLiteral("modem"), QStringLiteral("device"), modem.Path());

  program.setWorkingDirectory(home.path());
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
  program.setProcessEnvironment(env);
  program.setProcessChannelMode(QProcess::ForwardedChannels);
  program.start(QStringLiteral(SONAVEL_PROGRAM), {QStringLiteral("--answer")});
  ASSERT_TRUE(program.waitForStarted(10000));

  // Start-up opens both devices and sends every channel's settings to the module.
  ASSERT_TRUE(WaitFor([&] { return peer.KeysConnected() && peer.Heard().size() >= 80; }))
      << "heard " << peer.Heard().size();
  // It waits for a call: auto-answer goes to the modem.
  ASSERT_TRUE(WaitFor([&] { return modem.Heard().contains("ats0=1\r"); })) << modem.Heard().toStdString();
  modem.Clear();

  // Not connected: a note sounds on the local part and nothing goes out on the line.
  peer.Play({0x90, 60, 100});
  ASSERT_TRUE(WaitFor([&] { return peer.HasHeard({0x90, 60, 100}); }));
  EXPECT_FALSE(modem.Heard().contains(QByteArray("\xFF\x90\x3C\x64", 4)));

  // The modem answers the call.
  modem.Send("OK\rRING\rCONNECT 9600\r");
  ASSERT_TRUE(WaitFor([&] { return Log().contains(QStringLiteral("CONNECT 9600")); })) << Log().toStdString();

  // Connected: the note goes out as a frame as well as sounding here.
  peer.Play({0x90, 62, 90});
  ASSERT_TRUE(WaitFor([&] { return modem.Heard().contains(QByteArray("\xFF\x90\x3E\x5A", 4)); }))
      << modem.Heard().toHex().toStdString();
  EXPECT_TRUE(WaitFor([&] { return peer.HasHeard({0x90, 62, 90}); }));

  // The peer's frames sound on the remote part (channel 2 shown, channel index 1).
  modem.Send(QByteArray("\xFF\x90\x40\x50", 4));
  EXPECT_TRUE(WaitFor([&] { return peer.HasHeard({0x91, 0x40, 0x50}); }));
  modem.Send(QByteArray("\xFF\x80\x40\x00", 4));
  EXPECT_TRUE(WaitFor([&] { return peer.HasHeard({0x81, 0x40, 0x00}); }));

  // A chat line from the peer is logged as it arrived.
  modem.Send("peer>\x82\xB1\x82\xF1\r");
  EXPECT_TRUE(WaitFor([&] {
    QFile f(home.filePath(QDir(home.path()).entryList({QStringLiteral("*.log")}, QDir::Files).value(0)));
    return f.open(QIODevice::ReadOnly) && f.readAll().contains("peer>\x82\xB1\x82\xF1\r\n");
  }));
  EXPECT_EQ(program.state(), QProcess::Running) << "the program is still running";

  // Ended as a session ends it: it shuts down in order and keeps the window positions.
  program.terminate();
  ASSERT_TRUE(program.waitForFinished(15000));
  EXPECT_EQ(program.exitStatus(), QProcess::NormalExit);
  EXPECT_NE(settings.ReadInt(QStringLiteral("MainFormPosition"), QStringLiteral("top"), -99999), -99999);
  EXPECT_NE(settings.ReadInt(QStringLiteral("KeyBoardPosition"), QStringLiteral("left"), -99999), -99999);
}

}  // namespace
