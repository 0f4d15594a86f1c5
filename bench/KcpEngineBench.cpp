// Goodput of two KCP engines joined in memory with the proxy's settings
// (mtu 1360, no-delay 1/20/2/0, windows 1204/1024, stream mode), at 0% and
// 10% datagram loss over a 20 ms one-way link. Reports two rates:
//   goodput_MBps      application bytes per second of wall time: the engine's
//                     CPU cost, simulation included;
//   simulated_MBps    application bytes per second of the simulated clock:
//                     what the protocol achieves on such a link.
#include "tests/support/KcpSimulatedNetwork.h"

#include <benchmark/benchmark.h>

namespace {

void BM_KcpStreamGoodput(benchmark::State& state)
{
    const double loss = static_cast<double>(state.range(0)) / 100.0;
    const size_t size = 8u << 20;
    const std::string payload = makePayload(size, 1);
    uint64_t simulatedMs = 0;
    uint32_t seed = 1;
    for (auto _ : state) {
        LinkProfile link;
        link.loss = loss;
        link.delayMs = 20;
        KcpPair pair(0x5157, link, seed++);
        pair.a().toSend = payload;
        pair.a().closeWhenSent = true;
        pair.connect();
        if (!pair.runUntil([&] { return pair.b().peerEnded; }, 3600000) || pair.b().received != payload) {
            state.SkipWithError("transfer did not complete intact");
            break;
        }
        simulatedMs += pair.elapsed();
    }
    const double megabytes = static_cast<double>(state.iterations()) * static_cast<double>(size) / 1e6;
    state.counters["goodput_MBps"] = benchmark::Counter(megabytes, benchmark::Counter::kIsRate);
    if (simulatedMs > 0)
        state.counters["simulated_MBps"] = megabytes / (static_cast<double>(simulatedMs) / 1000.0);
}

} // namespace

BENCHMARK(BM_KcpStreamGoodput)
    ->ArgName("loss_pct")
    ->Arg(0)
    ->Arg(10)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
