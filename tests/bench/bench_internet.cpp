// Playing over the internet: what the built-in TCP/IP modems add to a note's way. Two copies of
// the program run as separate processes on one JACK server at 32 frames a period, joined over
// loopback; for each note played into the first, the time it reaches the second one's module,
// minus the time it reaches the first one's own (the local sound).
#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <algorithm>
#include <cstdio>
#include <vector>

#include "support/JackMidiPeer.h"
#include "support/JackServer.h"
#include "support/SonavelProcess.h"

namespace {

constexpr int kNotes = 2000;

// Where a message arrived at `peer`, searched from `from` on; -1 while it has not.
long long ArrivalOf(JackMidiPeer& peer, const JackMidiPeer::Bytes& message, std::size_t from) {
  const auto& heard = peer.Heard();
  for (std::size_t i = from; i < heard.size(); ++i) {
    if (heard[i] == message) return static_cast<long long>(peer.HeardAt()[i]);
  }
  return -1;
}

void BM_AddedLatencyOverTcp(benchmark::State& state) {
  JackServer server{32};
  JackMidiPeer first{"first"};
  JackMidiPeer second{"second"};
  if (!server.Running() || !first.Ok() || !second.Ok()) {
    state.SkipWithError("no JACK server");
    return;
  }
  const int port = FreeTcpPort();
  SonavelProcess answering("first", port, {});
  SonavelProcess calling("second", FreeTcpPort(), QStringLiteral("127.0.0.1:%1").arg(port));
  answering.Start({QStringLiteral("--answer")});
  if (!WaitFor([&] { return answering.Log().contains(QStringLiteral("ats0=1")); }, 15000)) {
    state.SkipWithError("the answering program did not wait for a call");
    return;
  }
  calling.Start({QStringLiteral("--dial"), QStringLiteral("1")});
  if (!WaitFor([&] { return answering.Connected() && calling.Connected() && first.KeysConnected(); }, 15000)) {
    state.SkipWithError("no connection");
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
  std::printf("added latency over TCP, %zu notes: median %.3f ms, mean %.3f ms, p99 %.3f ms, max %.3f ms, %d lost\n",
              added.size(), at(0.5), mean, at(0.99), added.empty() ? 0 : added.back(), lost);
  state.counters["mean_ms"] = mean;
}
BENCHMARK(BM_AddedLatencyOverTcp)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
