#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <chrono>
#include <functional>

#include "platform/Profile.h"
#include "support/JackMidiPeer.h"
#include "support/JackServer.h"

namespace {

bool WaitFor(const std::function<bool()>& done, std::chrono::milliseconds limit = std::chrono::seconds(15)) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < deadline) {
    if (done()) return true;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    usleep(5000);
  }
  return done();
}

std::uint16_t UnusedPort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t len = sizeof a;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  ::close(fd);
  return ntohs(a.sin_port);
}

// One player: the program in its own folder, its keyboard and sound module on the JACK server,
// its line the built-in TCP/IP modem.
struct Player {
  explicit Player(const char* name) : midi(name) {}
  ~Player() {
    if (program.state() == QProcess::NotRunning) return;
    program.terminate();
    if (!program.waitForFinished(5000)) program.kill();
    program.waitForFinished(5000);
  }
  void Start(const QString& name, std::uint16_t listen, const QString& dialled, const QString& option) {
    Profile settings(home.filePath(QStringLiteral("Sonavel.ini")));
    settings.WriteString(QStringLiteral("midi"), QStringLiteral("MidiInDeviceName"),
                         QStringLiteral("JACK: %1:keys").arg(name));
    settings.WriteString(QStringLiteral("midi"), QStringLiteral("MidiOutDeviceName"),
                         QStringLiteral("JACK: %1:module").arg(name));
    settings.WriteString(QStringLiteral("modem"), QStringLiteral("device"), QStringLiteral("tcp"));
    settings.WriteInt(QStringLiteral("modem"), QStringLiteral("listen"), listen);
    settings.WriteString(QStringLiteral("names"), QStringLiteral("telnumber1"), dialled);
    program.setWorkingDirectory(home.path());
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    program.setProcessEnvironment(env);
    program.setProcessChannelMode(QProcess::ForwardedChannels);
    program.start(QStringLiteral(SONAVEL_PROGRAM), option.split(' '));
  }
  QByteArray Log() const {
    const QStringList logs = QDir(home.path()).entryList({QStringLiteral("*.log")}, QDir::Files);
    QFile f(home.filePath(logs.value(0)));
    return !logs.isEmpty() && f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
  }

  JackMidiPeer midi;
  QTemporaryDir home;
  QProcess program;
};

TEST(TwoPrograms, ANoteFromEachPlayersKeyboardSoundsOnTheOthersRemotePart) {
  JackServer server;
  ASSERT_TRUE(server.Running()) << server.Error();
  Player answering("e2ea"), calling("e2eb");
  ASSERT_TRUE(answering.midi.Ok() && calling.midi.Ok());
  const std::uint16_t port = UnusedPort();

  answering.Start(QStringLiteral("e2ea"), port, QString(), QStringLiteral("--answer"));
  ASSERT_TRUE(WaitFor([&] { return answering.Log().contains("ats0=1\r\n\r\nOK\r\n"); })) << answering.Log().toStdString();
  calling.Start(QStringLiteral("e2eb"), port, QStringLiteral("127.0.0.1:%1").arg(port), QStringLiteral("--dial 1"));
  ASSERT_TRUE(WaitFor([&] { return answering.Log().contains("CONNECT") && calling.Log().contains("CONNECT"); }))
      << answering.Log().toStdString() << "\n" << calling.Log().toStdString();
  ASSERT_TRUE(WaitFor([&] { return answering.midi.KeysConnected() && calling.midi.KeysConnected(); }));

  answering.midi.Play({0x90, 60, 100});
  EXPECT_TRUE(WaitFor([&] { return calling.midi.HasHeard({0x91, 60, 100}); }));
  calling.midi.Play({0x90, 64, 90});
  EXPECT_TRUE(WaitFor([&] { return answering.midi.HasHeard({0x91, 64, 90}); }));
  EXPECT_TRUE(answering.midi.HasHeard({0x90, 60, 100})) << "and each sounds on its own part too";
}

}  // namespace
