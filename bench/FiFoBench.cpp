// Throughput of a byte queue between a producer and a consumer thread.
#include <benchmark/benchmark.h>

#include <thread>

#include "serial/FiFo.h"

static void BM_FiFoTwoThreads(benchmark::State& State) {
  const int64_t Bytes = State.range(0);
  for (auto _ : State) {
    tFiFo Q(1, 4096);
    std::thread Producer([&] {
      for (int64_t i = 0; i < Bytes;) {
        uint8_t b = static_cast<uint8_t>(i);
        if (Q.Store(&b))
          ++i;
        else
          std::this_thread::yield();
      }
    });
    int64_t Got = 0;
    uint8_t b;
    while (Got < Bytes) {
      if (Q.Retrieve(&b))
        ++Got;
      else
        std::this_thread::yield();
    }
    Producer.join();
  }
  State.SetBytesProcessed(State.iterations() * Bytes);
}
BENCHMARK(BM_FiFoTwoThreads)->Arg(1 << 22)->Unit(benchmark::kMillisecond)->UseRealTime();

static void BM_FiFoStoreRetrieveOneThread(benchmark::State& State) {
  tFiFo Q(1, 4096);
  uint8_t b = 0;
  for (auto _ : State) {
    Q.Store(&b);
    Q.Retrieve(&b);
  }
  State.SetBytesProcessed(State.iterations());
}
BENCHMARK(BM_FiFoStoreRetrieveOneThread);
