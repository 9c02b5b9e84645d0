// Two players over the internet: two copies of the program as separate processes, each with
// its own keyboard and sound module on one JACK server, joined by their built-in TCP/IP modems
// over loopback - one waits for the call, the other dials it at start.
#include <gtest/gtest.h>

#include "support/JackMidiPeer.h"
#include "support/JackServer.h"
#include "support/SonavelProcess.h"

namespace {

constexpr int kStart = 15000;  // ms for a program to start and its call to stand

TEST(InternetPlay, NotesTravelBothWaysBetweenTwoProgramsThatDialedEachOtherOverTcp) {
  JackServer server;
  ASSERT_TRUE(server.Running()) << server.Error();
  JackMidiPeer first{"first"};
  JackMidiPeer second{"second"};
  ASSERT_TRUE(first.Ok() && second.Ok());
  const int port = FreeTcpPort();
  ASSERT_GT(port, 0);

  SonavelProcess answering("first", port, {});
  SonavelProcess calling("second", FreeTcpPort(), QStringLiteral("127.0.0.1:%1").arg(port));
  answering.Start({QStringLiteral("--answer")});
  ASSERT_TRUE(WaitFor([&] { return answering.Log().contains(QStringLiteral("ats0=1")); }, kStart))
      << answering.Log().toStdString();
  calling.Start({QStringLiteral("--dial"), QStringLiteral("1")});

  ASSERT_TRUE(WaitFor([&] { return answering.Connected() && calling.Connected(); }, kStart))
      << "first:\n" << answering.Log().toStdString() << "\nsecond:\n" << calling.Log().toStdString();
  ASSERT_TRUE(WaitFor([&] { return first.KeysConnected() && second.KeysConnected(); }));
  first.ClearHeard();
  second.ClearHeard();

  // The first player's note sounds on his own module (local part, channel 1) and on the second
  // player's module on the remote part (channel 2); and the other way round.
  first.Play({0x90, 60, 100});
  EXPECT_TRUE(WaitFor([&] { return first.HasHeard({0x90, 60, 100}); }));
  EXPECT_TRUE(WaitFor([&] { return second.HasHeard({0x91, 60, 100}); }));
  second.Play({0x90, 67, 80});
  EXPECT_TRUE(WaitFor([&] { return second.HasHeard({0x90, 67, 80}); }));
  EXPECT_TRUE(WaitFor([&] { return first.HasHeard({0x91, 67, 80}); }));
  first.Play({0x80, 60, 0});
  EXPECT_TRUE(WaitFor([&] { return second.HasHeard({0x81, 60, 0}); }));

  EXPECT_TRUE(answering.Running());
  EXPECT_TRUE(calling.Running());
}

}  // namespace
