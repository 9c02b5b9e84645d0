#include <gtest/gtest.h>

#include <sys/eventfd.h>

#include "LinkTestSupport.h"

namespace {

// A null-modem cable between two ptys' master sides: whatever one program writes, the other
// reads, in both directions at once, never blocking one direction on the other.
class NullModem {
 public:
  NullModem(PtyPair& a, PtyPair& b) : a_(a), b_(b), stop_(::eventfd(0, EFD_CLOEXEC)) {
    thread_ = std::thread([this] { Run(); });
  }
  ~NullModem() {
    const std::uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(stop_, &one, sizeof one);
    thread_.join();
    ::close(stop_);
  }

 private:
  void Run() {
    QByteArray toB, toA;
    for (;;) {
      pollfd p[3] = {{a_.Master(), static_cast<short>(POLLIN | (toA.isEmpty() ? 0 : POLLOUT)), 0},
                     {b_.Master(), static_cast<short>(POLLIN | (toB.isEmpty() ? 0 : POLLOUT)), 0},
                     {stop_, POLLIN, 0}};
      if (::poll(p, 3, 50) < 0) continue;
      if (p[2].revents) return;
      // Before the programs open their ends a pty reports hang-up; wait for them calmly.
      if ((p[0].revents | p[1].revents) & POLLHUP) std::this_thread::sleep_for(std::chrono::milliseconds(5));
      Move(p[0], a_.Master(), toB);
      Move(p[1], b_.Master(), toA);
      Flush(p[0], a_.Master(), toA);
      Flush(p[1], b_.Master(), toB);
    }
  }
  static void Move(const pollfd& p, int from, QByteArray& queue) {
    if (!(p.revents & POLLIN)) return;
    char buf[4096];
    const ssize_t n = ::read(from, buf, sizeof buf);
    if (n > 0) queue.append(buf, n);
  }
  static void Flush(const pollfd& p, int to, QByteArray& queue) {
    if (queue.isEmpty() || !(p.revents & POLLOUT)) return;
    const ssize_t n = ::write(to, queue.constData(), static_cast<std::size_t>(queue.size()));
    if (n > 0) queue.remove(0, n);
  }

  PtyPair& a_;
  PtyPair& b_;
  int stop_;
  std::thread thread_;
};

struct BackToBack : ::testing::Test {
  PtyPair ptyA, ptyB;
  LinkRig a{ptyA.SlavePath()};
  LinkRig b{ptyB.SlavePath()};
  NullModem cable{ptyA, ptyB};

  void Connect() {
    a.dialogue.Button1Click(true);
    b.dialogue.Button1Click(true);
    a.dialogue.SetConnected(true);
    b.dialogue.SetConnected(true);
  }
};

// Note on/off pairs carrying a running number in their data bytes, so order and loss show.
ShortMessage Numbered(int i) {
  return PackShort(i % 2 ? 0x80 : 0x90, (i / 2) % 128, (i / 256) % 128 + 1);
}

TEST_F(BackToBack, FramesAndChatLinesBothWaysInOrderUnderAFlood) {
  Connect();
  constexpr int kFrames = 30000;
  constexpr int kLineEvery = 40;
  QStringList sentA, sentB;
  for (int i = 0; i < kFrames; ++i) {
    a.engine.PlayLocal(Numbered(i));
    b.engine.PlayLocal(Numbered(kFrames - 1 - i));
    if (i % kLineEvery == 0) {
      a.chatView.input = QStringLiteral("from a %1 ﾃｽﾄ").arg(i);
      b.chatView.input = QStringLiteral("from b %1 ー").arg(i);
      sentA << a.chatView.input;
      sentB << b.chatView.input;
      a.dialogue.SendChatLine();
      b.dialogue.SendChatLine();
    }
    // Let the receivers take their share now and then, as a running program does.
    if (i % 500 == 0) QCoreApplication::processEvents();
  }
  ASSERT_TRUE(
      WaitFor([&] { return b.OutputOn(1).size() == kFrames && a.OutputOn(1).size() == kFrames; }, 20000))
      << b.OutputOn(1).size() << " / " << a.OutputOn(1).size();

  std::vector<ShortMessage> expectAtB, expectAtA;
  for (int i = 0; i < kFrames; ++i) {
    expectAtB.push_back((Numbered(i) & ~0x0Fu) | 0x01);
    expectAtA.push_back((Numbered(kFrames - 1 - i) & ~0x0Fu) | 0x01);
  }
  EXPECT_EQ(b.OutputOn(1), expectAtB);
  EXPECT_EQ(a.OutputOn(1), expectAtA);

  // Each side's chat window: its own lines as sent, the other's as received, each in order.
  QStringList receivedAtB, receivedAtA;
  for (const QString& line : b.chatView.chat) {
    if (line.startsWith("from a")) receivedAtB << line;
  }
  for (const QString& line : a.chatView.chat) {
    if (line.startsWith("from b")) receivedAtA << line;
  }
  EXPECT_EQ(receivedAtB, sentA);
  EXPECT_EQ(receivedAtA, sentB);
  EXPECT_TRUE(a.form.errors.isEmpty()) << a.form.errors.join("\n").toStdString();
  EXPECT_TRUE(b.form.errors.isEmpty()) << b.form.errors.join("\n").toStdString();
}

TEST_F(BackToBack, HangUpOnOneSideReachesTheOtherAsAByeLine) {
  Connect();
  a.dialogue.Button3Click();
  ASSERT_TRUE(WaitFor([&] { return b.chatView.chat.contains("Bye"); }));
  EXPECT_FALSE(a.dialogue.Connected());
  // Without a modem nobody tells B that the line is gone: only the words count.
  EXPECT_TRUE(b.dialogue.Connected());
}

}  // namespace
