#include <gtest/gtest.h>

#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

#include "LinkTestSupport.h"
#include "link/Comm.h"

namespace {

class CommOnPty : public ::testing::Test {
 protected:
  void SetUp() override { comm.SetDevicePath(pty.SlavePath()); }
  PtyPair pty;
  TComm comm;
};

TEST(CommDevice, ComNumberNamesTheMatchingTtyS) {
  TComm comm;
  EXPECT_EQ(comm.Port(), 1);
  EXPECT_EQ(comm.DeviceName(), "/dev/ttyS0");
  comm.SetPort(2);
  EXPECT_EQ(comm.DeviceName(), "/dev/ttyS1");
  comm.SetDevicePath(QStringLiteral("/dev/ttyUSB0"));
  EXPECT_EQ(comm.DeviceName(), "/dev/ttyUSB0");
}

TEST(CommDevice, OpenFailureKeepsTheOldCodeAndSaysWhichDeviceAndWhy) {
  TComm comm;
  comm.SetDevicePath(QStringLiteral("/dev/does-not-exist-sonavel"));
  try {
    comm.Open();
    FAIL() << "opened a missing device";
  } catch (const ECommOpenError& e) {
    EXPECT_EQ(e.ErrorCode(), -1);
    EXPECT_TRUE(e.Message().startsWith(QStringLiteral("オープンエラー ErrorCode = -1"))) << e.what();
    EXPECT_TRUE(e.Message().contains(QStringLiteral("/dev/does-not-exist-sonavel")));
    EXPECT_TRUE(e.Message().contains(QStringLiteral("デバイスが見つかりません")));
  }
  EXPECT_EQ(comm.Handle(), -1);
}

TEST(CommDevice, RefusesAFileThatIsNoSerialDevice) {
  TComm comm;
  comm.SetDevicePath(QStringLiteral("/dev/null"));
  EXPECT_THROW(comm.Open(), ECommOpenError);
  EXPECT_FALSE(comm.IsOpen());
}

TEST(CommDevice, ClosedPortRefusesReadAndWriteAndReportsNoDsr) {
  TComm comm;
  const std::uint8_t byte = 'a';
  std::uint8_t in = 0;
  try {
    comm.Write(std::span(&byte, 1));
    FAIL();
  } catch (const ECommError& e) {
    EXPECT_EQ(e.Message(), QStringLiteral("通信が開始されていない。"));
  }
  EXPECT_THROW(comm.Read(std::span(&in, 1)), ECommError);
  EXPECT_FALSE(comm.DsrState());
  comm.Close();  // closing a closed port does nothing
  EXPECT_EQ(comm.Handle(), -1);
}

TEST_F(CommOnPty, OpenAndCloseAreIdempotent) {
  comm.Open();
  const int handle = comm.Handle();
  const auto opening = comm.Generation();
  EXPECT_GE(handle, 0);
  comm.Open();  // no second device, no second watcher
  EXPECT_EQ(comm.Handle(), handle);
  EXPECT_EQ(comm.Generation(), opening);
  comm.Close();
  EXPECT_EQ(comm.Handle(), -1);
  comm.Close();
  comm.Open();  // reopens after a close, with a new watcher
  EXPECT_TRUE(comm.IsOpen());
  EXPECT_EQ(comm.Generation(), opening + 1);
}

TEST_F(CommOnPty, SecondOpenerIsRefusedWhileWeHoldThePort) {
  comm.Open();
  TComm other;
  other.SetDevicePath(pty.SlavePath());
  try {
    other.Open();
    FAIL() << "two owners of one port";
  } catch (const ECommOpenError& e) {
    EXPECT_TRUE(e.Message().contains(QStringLiteral("ほかのプログラムが使用中です"))) << e.what();
  }
  comm.Close();
  EXPECT_NO_THROW(other.Open());
}

struct SpeedCase {
  std::int32_t baudRate;
  std::int32_t userDefined;
  int expected;
};

TEST_F(CommOnPty, EverySpeedOfTheSettingsTableReadsBack) {
  const std::vector<SpeedCase> cases = {
      {110, 0, 110},       {300, 0, 300},       {1200, 0, 1200},    {2400, 0, 2400},
      {4800, 0, 4800},     {9600, 0, 9600},     {14400, 0, 14400},  {19200, 0, 19200},
      {38400, 0, 38400},   {56000, 0, 56000},   {57600, 0, 57600},  {115200, 0, 115200},
      {128000, 0, 128000}, {256000, 0, 256000}, {-1, 31250, 31250}, {-1, 76800, 76800}};
  comm.Open();
  for (const auto& c : cases) {
    comm.SetBaudRateUserDefined(c.userDefined);
    comm.SetBaudRate(c.baudRate);
    EXPECT_EQ(comm.DeviceSettings().baudRate, c.expected) << c.baudRate << "/" << c.userDefined;
  }
  // The user-defined rate alone changes nothing until BaudRate is set again or the port reopens.
  comm.SetBaudRate(-1);
  comm.SetBaudRateUserDefined(4800);
  EXPECT_EQ(comm.DeviceSettings().baudRate, 76800);
  comm.Close();
  comm.Open();
  EXPECT_EQ(comm.DeviceSettings().baudRate, 4800);
}

// Byte size and parity in termios flags; a pty cannot hold them (below), so they are checked
// through the encoding a real UART receives.
TEST(LineEncoding, ByteSizeAndParityIncludingMarkAndSpaceRoundTrip) {
  const serial::Parity parities[] = {serial::Parity::None, serial::Parity::Odd, serial::Parity::Even,
                                     serial::Parity::Mark, serial::Parity::Space};
  for (int bits = 5; bits <= 8; ++bits) {
    for (serial::Parity parity : parities) {
      for (bool two : {false, true}) {
        serial::LineSettings s;
        s.dataBits = bits;
        s.parity = parity;
        s.twoStopBits = two;
        s.baudRate = 56000;
        serial::RawTermios tio;
        tio.cflag = 0xFFFFFFFF;  // whatever the device had must not leak through
        serial::Encode(s, tio);
        const serial::LineSettings back = serial::Decode(tio);
        EXPECT_EQ(back.dataBits, bits);
        EXPECT_EQ(back.parity, parity) << bits;
        EXPECT_EQ(back.twoStopBits, two);
        EXPECT_EQ(back.baudRate, 56000);
      }
    }
  }
}

TEST_F(CommOnPty, LineSettingsReadBackFromTheDevice) {
  comm.SetStopBits(TCommStopBits::csb2);  // stored while closed, applied by Open
  comm.Open();
  EXPECT_TRUE(comm.DeviceSettings().twoStopBits);
  comm.SetStopBits(TCommStopBits::csb15);  // the nearest termios has
  EXPECT_TRUE(comm.DeviceSettings().twoStopBits);
  comm.SetStopBits(TCommStopBits::csb1);
  EXPECT_FALSE(comm.DeviceSettings().twoStopBits);

  comm.SetFlowControls({});
  EXPECT_FALSE(comm.DeviceSettings().rtsCts);
  EXPECT_FALSE(comm.DeviceSettings().xonXoff);
  comm.SetFlowControls({TCommFlowControl::cfcDtrDsr, TCommFlowControl::cfcRtsCts});
  EXPECT_TRUE(comm.DeviceSettings().rtsCts);
  EXPECT_FALSE(comm.DeviceSettings().xonXoff);
  comm.SetFlowControls({TCommFlowControl::cfcXonXoff});
  EXPECT_FALSE(comm.DeviceSettings().rtsCts);
  EXPECT_TRUE(comm.DeviceSettings().xonXoff);
  EXPECT_EQ(TCommFlowControls::FromBits(3),
            (TCommFlowControls{TCommFlowControl::cfcDtrDsr, TCommFlowControl::cfcRtsCts}));

  // The pty driver forces eight data bits and no parity whatever is asked; the setters still
  // go through without an error, as they would on a UART.
  comm.SetByteSize(TCommByteSize::cbs7);
  comm.SetParityBits(TCommParityBits::cpbMark);
  EXPECT_EQ(comm.DeviceSettings().dataBits, 8);
  EXPECT_EQ(comm.DeviceSettings().parity, serial::Parity::None);
  EXPECT_EQ(comm.ByteSize(), TCommByteSize::cbs7);
  EXPECT_EQ(comm.ParityBits(), TCommParityBits::cpbMark);
}

TEST_F(CommOnPty, FourBitBytesAreRefusedWithAClearMessage) {
  comm.SetByteSize(TCommByteSize::cbs4);
  try {
    comm.Open();
    FAIL();
  } catch (const ECommOpenError& e) {
    EXPECT_TRUE(e.Message().contains(QStringLiteral("4 ビット"))) << e.what();
  }
  EXPECT_FALSE(comm.IsOpen());
  comm.SetByteSize(TCommByteSize::cbs8);
  comm.Open();
  EXPECT_THROW(comm.SetByteSize(TCommByteSize::cbs4), ECommError);
  EXPECT_EQ(comm.DeviceSettings().dataBits, 8);  // the device keeps its last good setting
}

TEST_F(CommOnPty, PtyHasNoModemLinesSoDsrIsOffAndDtrIsHarmless) {
  comm.Open();
  EXPECT_FALSE(comm.DsrState());
  comm.SetFlowControls({TCommFlowControl::cfcDtrDsr});  // no DTR/DSR handshake to wait on
  const QByteArray unit = "ATZ\r";
  comm.WriteString(unit);
  EXPECT_EQ(pty.ReadCount(unit.size()), unit);
  comm.Close();
  EXPECT_FALSE(comm.DsrState());
}

TEST_F(CommOnPty, WriteOfExactlyOutQueueSizeIsTakenOneMoreIsRefused) {
  comm.SetOutQueueSize(64);
  comm.Open();
  const QByteArray exact(64, 'e');
  comm.WriteString(exact);
  EXPECT_EQ(pty.ReadCount(64), exact);
  try {
    comm.WriteString(QByteArray(65, 'f'));
    FAIL();
  } catch (const ECommError& e) {
    EXPECT_EQ(e.Message(), QStringLiteral("送信データ長が長すぎる。"));
  }
  EXPECT_TRUE(pty.Read(50).isEmpty());  // nothing of the refused unit went out
}

TEST_F(CommOnPty, WatcherDeliversEveryReceivedByteInOrder) {
  std::mutex lock;
  QByteArray received;
  comm.OnCommReceive = [&](TComm& sender, std::uint16_t size) {
    std::vector<std::uint8_t> buf(size);
    const std::size_t n = sender.Read(buf);
    std::lock_guard g(lock);
    received.append(reinterpret_cast<const char*>(buf.data()), static_cast<qsizetype>(n));
  };
  comm.Open();
  QByteArray sent;
  for (int i = 0; i < 20000; ++i) sent.append(static_cast<char>(i * 7));
  pty.Write(sent);
  EXPECT_TRUE(WaitFor([&] {
    std::lock_guard g(lock);
    return received.size() >= sent.size();
  }));
  std::lock_guard g(lock);
  EXPECT_EQ(received, sent);
}

TEST_F(CommOnPty, ConcurrentWritersNeverInterleaveTheirUnits) {
  comm.Open();
  std::atomic<bool> go{false};
  auto writer = [&](char tag) {
    while (!go) std::this_thread::yield();
    const QByteArray unit = QByteArray(200, tag) + '\r';
    for (int i = 0; i < 300; ++i) comm.WriteString(unit);
  };
  QByteArray got;
  std::thread a(writer, 'a'), b(writer, 'b');
  go = true;
  got = pty.ReadCount(2 * 300 * 201, 10000);
  a.join();
  b.join();
  ASSERT_EQ(got.size(), 2 * 300 * 201);
  for (const QByteArray& unit : got.split('\r')) {
    if (unit.isEmpty()) continue;
    ASSERT_EQ(unit.size(), 200);
    EXPECT_EQ(unit.count(unit[0]), 200) << "a unit was cut by another writer";
  }
}

TEST_F(CommOnPty, AStalledLineFailsInBoundedTimeWithoutHalfAUnitOnTheWireOrBlamingThePeer) {
  comm.SetBaudRate(256000);  // the limit follows the line's speed; a fast one keeps the test short
  comm.Open();
  // Nobody reads the far end: the pty's buffer fills, and a write ends with an error instead of
  // waiting forever. Each unit is numbered so the far end can tell a cut one.
  constexpr int kUnit = 1000;
  bool failed = false;
  int units = 0;
  const auto start = std::chrono::steady_clock::now();
  for (; units < 1000 && !failed; ++units) {
    try {
      comm.WriteString(QByteArray(kUnit, static_cast<char>('A' + units % 26)));
    } catch (const ECommReadWriteError& e) {
      failed = true;
      EXPECT_TRUE(e.Message().startsWith(QStringLiteral("入出力エラー ErrorCode = "))) << e.what();
      EXPECT_TRUE(e.Message().contains(QStringLiteral("回線"))) << e.what();
      EXPECT_FALSE(e.Message().contains(QStringLiteral("相手"))) << "a slow line is not the peer's fault";
    }
  }
  ASSERT_TRUE(failed);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  // The line moves again: whatever of the stalled unit went in is finished before the next unit.
  QByteArray got = pty.Read(300);
  comm.WriteString(QByteArray(kUnit, '#'));
  got += pty.Read(300);
  ASSERT_TRUE(got.endsWith(QByteArray(kUnit, '#')));
  EXPECT_EQ(got.size() % kUnit, 0) << "a unit went out in part";
  for (qsizetype at = 0; at + kUnit <= got.size(); at += kUnit) {
    EXPECT_EQ(got.mid(at, kUnit).count(got[at]), kUnit) << "unit at " << at << " is mixed";
  }
}

TEST_F(CommOnPty, ASlowLineGetsTheTimeItNeeds) {
  // The far end takes about 2.5 KB/s, as a 19200 bit/s line would: once the pty's buffer (about
  // 16 KB) is full a 3000-byte unit needs over a second to find room, in order at this speed.
  comm.SetBaudRate(19200);
  comm.Open();
  constexpr int kUnits = 8;
  const QByteArray unit(3000, 'q');
  std::atomic<bool> done{false};
  std::exception_ptr error;
  std::thread writer([&] {
    try {
      for (int i = 0; i < kUnits; ++i) comm.WriteString(unit);
    } catch (...) {
      error = std::current_exception();
    }
    done = true;
  });
  QByteArray got;
  while (!done) {
    char buf[1000];
    const ssize_t n = ::read(pty.Master(), buf, sizeof buf);
    if (n > 0) got.append(buf, n);
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
  }
  writer.join();
  got += pty.Read(200);
  EXPECT_FALSE(error) << "a working slow line was reported as failing";
  EXPECT_EQ(got.size(), kUnits * 3000);
}

// Closing waits for queued output as the line's speed needs, but never long: at 110 bit/s a
// full queue would take six minutes, at a user-defined 1 bit/s hours. (A pty reports no output
// queue, so the rule is checked on its own.)
TEST(CommDevice, CloseWaitsForQueuedOutputAtMostTwoSeconds) {
  struct Case {
    int rate;
    std::size_t queued;
    long long wantMs;
  };
  for (const Case c : {Case{110, 4096, 2000}, Case{1, 4, 2000}, Case{-1, 4096, 2000}, Case{56000, 4, 1000},
                       Case{9600, 96, 1100}}) {
    TComm comm;
    if (c.rate == -1) comm.SetBaudRateUserDefined(1);
    comm.SetBaudRate(c.rate);
    EXPECT_EQ(comm.CloseWait(c.queued).count(), c.wantMs) << c.rate << " bit/s, " << c.queued << " bytes";
  }
}

TEST_F(CommOnPty, ReadingMoreThanIsQueuedHandsOverWhatCame) {
  std::mutex lock;
  QByteArray received;
  int failures = 0;
  comm.OnCommReceive = [&](TComm& sender, std::uint16_t size) {
    std::vector<std::uint8_t> buf(size + 100u);  // more than is queued
    const std::size_t n = sender.Read(buf);
    std::lock_guard g(lock);
    received.append(reinterpret_cast<const char*>(buf.data()), static_cast<qsizetype>(n));
  };
  comm.OnCommException = [&](TComm&, std::exception_ptr) {
    std::lock_guard g(lock);
    ++failures;
  };
  comm.Open();
  pty.Write("abc");
  EXPECT_TRUE(WaitFor([&] {
    std::lock_guard g(lock);
    return received.size() >= 3 || failures > 0;
  }));
  std::lock_guard g(lock);
  EXPECT_EQ(received, QByteArray("abc"));
  EXPECT_EQ(failures, 0) << "an empty queue is nothing to read, not a lost device";
}

TEST_F(CommOnPty, WritingToALostDeviceSaysSoInJapanese) {
  comm.Open();
  pty.CloseMaster();
  try {
    comm.WriteString("x");
    FAIL();
  } catch (const ECommReadWriteError& e) {
    EXPECT_EQ(e.ErrorCode(), EIO);
    EXPECT_TRUE(e.Message().endsWith(QStringLiteral("デバイスが切断されました"))) << e.what();
  }
}

TEST_F(CommOnPty, VanishedDeviceIsReportedOnceAndTheWatcherStopsWithoutSpinning) {
  std::atomic<int> lost{0};
  comm.OnCommReceive = [](TComm& s, std::uint16_t size) {
    std::vector<std::uint8_t> buf(size);
    s.Read(buf);
  };
  comm.OnCommLost = [&](TComm&, const QString& reason) {
    EXPECT_TRUE(reason.contains(pty.SlavePath()));
    ++lost;
  };
  comm.Open();
  rusage before{};
  ::getrusage(RUSAGE_SELF, &before);
  pty.CloseMaster();  // the adapter is pulled out
  EXPECT_TRUE(WaitFor([&] { return lost.load() > 0; }, 2000));
  QTest::qWait(300);
  rusage after{};
  ::getrusage(RUSAGE_SELF, &after);
  EXPECT_EQ(lost.load(), 1);
  const double cpu = (after.ru_utime.tv_sec - before.ru_utime.tv_sec) +
                     (after.ru_stime.tv_sec - before.ru_stime.tv_sec) +
                     1e-6 * ((after.ru_utime.tv_usec - before.ru_utime.tv_usec) +
                             (after.ru_stime.tv_usec - before.ru_stime.tv_usec));
  EXPECT_LT(cpu, 0.15) << "the watcher spins on a dead device";
  comm.Close();
  EXPECT_FALSE(comm.IsOpen());
}

TEST_F(CommOnPty, HandlerExceptionReachesTheOwnerAndWatchingGoesOn) {
  std::atomic<int> errors{0};
  std::atomic<int> calls{0};
  comm.OnCommReceive = [&](TComm& s, std::uint16_t size) {
    std::vector<std::uint8_t> buf(size);
    s.Read(buf);
    if (++calls == 1) throw ECommError(QStringLiteral("handler failed"));
  };
  comm.OnCommException = [&](TComm&, std::exception_ptr) { ++errors; };
  comm.Open();
  pty.Write("first");
  ASSERT_TRUE(WaitFor([&] { return errors.load() == 1; }));
  pty.Write("second");
  EXPECT_TRUE(WaitFor([&] { return calls.load() >= 2; }));
}

}  // namespace
