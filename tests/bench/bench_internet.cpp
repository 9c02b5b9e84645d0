// Playing over the internet: what the built-in TCP/IP modems add to a note's way. Two copies of
// the program run as separate processes on one JACK server at 32 frames a period, joined over
// loopback; for each note played into the first, the time it reaches the second one's module,
// minus the time it reaches the first one's own (the local sound).
//
// Then the modems alone, side by side with and without a call password, timed to the
// microsecond from pty to pty over loopback: a call's set-up (ATDT to CONNECT) and a note's
// way (written on one modem's device, read on the other's); and the cryptography by itself:
// one handshake (both sides), and sealing and opening one note's record.
#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <algorithm>
#include <cstdio>
#include <vector>

#include "modem/CallHandshake.h"
#include "modem/SealedRecords.h"
#include "platform/ShiftJis.h"
#include "support/JackMidiPeer.h"
#include "support/ModemTerminal.h"
#include "support/TwoPrograms.h"

namespace {

constexpr int kNotes = 2000;
constexpr int kCalls = 200;

double Ms(modem::Clock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

// Median and 99th percentile into the counters, and a line for the reader.
void Report(benchmark::State& state, std::vector<double>& ms, const char* what) {
  std::sort(ms.begin(), ms.end());
  const auto at = [&](double q) {
    return ms.empty() ? 0 : ms[std::min(ms.size() - 1, static_cast<std::size_t>(static_cast<double>(ms.size()) * q))];
  };
  state.counters["median_ms"] = at(0.5);
  state.counters["p99_ms"] = at(0.99);
  std::printf("%s, %s, %zu times: median %.3f ms, p99 %.3f ms, max %.3f ms\n", what,
              state.range(0) ? "with a password" : "open (no password)", ms.size(), at(0.5), at(0.99),
              ms.empty() ? 0 : ms.back());
}

std::string Password(const benchmark::State& state) {
  return state.range(0) ? "a shared secret" : "";
}

void BM_ModemCallSetUp(benchmark::State& state) {
  modem::InternetModem answering(modem::AnyPort(Password(state))), calling(modem::AnyPort(Password(state)));
  modem::Terminal a(answering.DevicePath());
  a.Send("ATE0S0=1\r");
  a.ReadUntil("OK\r\n");
  const std::string dial = modem::DialCommand(answering);
  std::vector<double> ms;
  for (auto _ : state) {
    for (int i = 0; i < kCalls; ++i) {
      modem::Terminal b(calling.DevicePath());
      const auto start = modem::Clock::now();
      b.Send(dial);
      const bool connected = b.ReadUntil("CONNECT 115200\r\n").find("CONNECT 115200") != std::string::npos;
      const auto end = modem::Clock::now();
      if (!connected) {
        state.SkipWithError("no call");
        return;
      }
      ms.push_back(Ms(end - start));
      b.Close();  // DTR drops: the call ends, and the answering modem waits again
      a.ReadUntil("NO CARRIER\r\n");
    }
  }
  Report(state, ms, "modems alone, call set-up (ATDT to CONNECT)");
}
BENCHMARK(BM_ModemCallSetUp)->Arg(0)->Arg(1)->Iterations(1)->Unit(benchmark::kMillisecond);

void BM_ModemNoteWay(benchmark::State& state) {
  modem::InternetModem answering(modem::AnyPort(Password(state))), calling(modem::AnyPort(Password(state)));
  modem::Terminal a(answering.DevicePath()), b(calling.DevicePath());
  a.Send("ATS0=1\r");
  a.ReadUntil("OK\r\n");
  b.Send(modem::DialCommand(answering));
  if (b.ReadUntil("CONNECT 115200\r\n").find("CONNECT") == std::string::npos) {
    state.SkipWithError("no call");
    return;
  }
  a.ReadUntil("CONNECT 115200\r\n");
  std::vector<double> ms;
  for (auto _ : state) {
    for (int i = 0; i < kNotes; ++i) {
      const std::string note{static_cast<char>(i % 2 ? 0x80 : 0x90), static_cast<char>(36 + i % 48), 64};
      const auto start = modem::Clock::now();
      a.Send(note);
      if (b.ReadUntil(note) != note) {
        state.SkipWithError("a note went astray");
        return;
      }
      ms.push_back(Ms(modem::Clock::now() - start));
    }
  }
  Report(state, ms, "modems alone, a note from device to device");
}
BENCHMARK(BM_ModemNoteWay)->Arg(0)->Arg(1)->Iterations(1)->Unit(benchmark::kMillisecond);

// The handshake's arithmetic, both sides, without the network.
void BM_HandshakeAlone(benchmark::State& state) {
  const auto later = modem::CallHandshake::Clock::now() + std::chrono::hours(1);
  for (auto _ : state) {
    modem::CallHandshake caller(modem::CallHandshake::Role::Caller, Password(state), later);
    modem::CallHandshake answerer(modem::CallHandshake::Role::Answerer, Password(state), later);
    const auto confirm = caller.Receive(answerer.Receive(caller.Start()));
    answerer.Receive(confirm);
    caller.Receive(answerer.Accept());
    if (caller.step() != modem::CallHandshake::Step::Established) state.SkipWithError("no agreement");
  }
}
BENCHMARK(BM_HandshakeAlone)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

// Sealing one note's record on one side and opening it on the other.
void BM_SealAndOpenANote(benchmark::State& state) {
  modem::CallKey key{};
  key.fill(3);
  modem::RecordSealer sealer(key);
  modem::RecordOpener opener(key, modem::RecordOpener::Order::Strict);
  const modem::Bytes note{0x90, 60, 100};
  for (auto _ : state) {
    const auto plain = opener.Open(sealer.Seal(note));
    benchmark::DoNotOptimize(plain);
  }
}
BENCHMARK(BM_SealAndOpenANote)->Unit(benchmark::kMicrosecond);

// Where a message arrived at `peer`, searched from `from` on; -1 while it has not.
long long ArrivalOf(JackMidiPeer& peer, const JackMidiPeer::Bytes& message, std::size_t from) {
  const auto& heard = peer.Heard();
  for (std::size_t i = from; i < heard.size(); ++i) {
    if (heard[i] == message) return static_cast<long long>(peer.HeardAt()[i]);
  }
  return -1;
}

void BM_AddedLatencyOverTcp(benchmark::State& state) {
  TwoPrograms two(state.range(0) ? QStringLiteral("a shared secret") : QString(), 32);
  if (!two.Ready()) {
    state.SkipWithError("no JACK server");
    return;
  }
  if (!two.Answer()) {
    state.SkipWithError("the answering program did not wait for a call");
    return;
  }
  if (!two.Dial() || !WaitFor([&] { return two.first.KeysConnected(); })) {
    state.SkipWithError("no connection");
    return;
  }
  JackMidiPeer& first = two.first;
  JackMidiPeer& second = two.second;
  const SonavelProcess& answering = *two.answering;
  const SonavelProcess& calling = *two.calling;
  // The logs say which kind of call it is (in the log's Shift-JIS, read here byte for byte).
  const QString kind = QString::fromLatin1(ShiftJis::Encode(
      state.range(0) ? QStringLiteral("パスワードで相手を確かめました") : QStringLiteral("通話は暗号化されていますが")));
  if (!WaitFor([&] { return answering.Log().contains(kind) && calling.Log().contains(kind); }, 5000)) {
    state.SkipWithError("the call is not of the kind measured");
    return;
  }
  QTest::qWait(500);  // the start-up tables have gone out

  std::vector<double> added;
  int lost = 0;
  for (auto _ : state) {
    for (int i = 0; i < kNotes; ++i) {
      first.ClearHeard();
      second.ClearHeard();
      const std::uint8_t note = static_cast<std::uint8_t>(36 + i % 48);
      const std::uint8_t status = i % 2 == 0 ? 0x90 : 0x80;
      first.Play({status, note, 64});
      long long local = -1, remote = -1;
      const bool arrived = WaitFor(
          [&] {
            if (local < 0) local = ArrivalOf(first, {status, note, 64}, 0);
            if (remote < 0) remote = ArrivalOf(second, {static_cast<std::uint8_t>(status + 1), note, 64}, 0);
            return local >= 0 && remote >= 0;
          },
          2000);
      if (!arrived) {
        ++lost;
        continue;
      }
      added.push_back(static_cast<double>(remote - local) / 1000.0);
    }
  }
  std::sort(added.begin(), added.end());
  const auto at = [&](double q) {
    return added.empty() ? 0 : added[std::min(added.size() - 1, static_cast<std::size_t>(added.size() * q))];
  };
  state.counters["median_ms"] = at(0.5);
  state.counters["p99_ms"] = at(0.99);
  state.counters["lost"] = lost;
  double mean = 0;
  for (double a : added) mean += a / static_cast<double>(added.size());
  // Arrivals are stamped with the start of the JACK period they came in: the figures are in
  // whole periods of 32 frames at 48 kHz (0.667 ms).
  std::printf("added latency over TCP, %s, %zu notes: median %.3f ms, mean %.3f ms, p99 %.3f ms, max %.3f ms, %d lost\n",
              state.range(0) ? "with a password" : "open (no password)", added.size(), at(0.5), mean, at(0.99),
              added.empty() ? 0 : added.back(), lost);
  state.counters["mean_ms"] = mean;
}
BENCHMARK(BM_AddedLatencyOverTcp)->Arg(0)->Arg(1)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
