// Response curves: the cost of asking for a cached table, of building one, and of the
// inverse lookup.
#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "lib/controls/ResponseCurves.h"

namespace {

// A manager holding Entries tables; the seed asked for is the last one built.
struct tCache {
  explicit tCache(int Entries) {
    Points.resize(static_cast<size_t>(Entries));
    Seeds.resize(static_cast<size_t>(Entries));
    for (int i = 0; i < Entries; ++i) {
      Points[i] = {{0, -10.0f}, {100, float(i)}, {255, 10.0f}};
      Seeds[i].CurveType = cv_Lin;
      Seeds[i].nPoints = 3;
      Seeds[i].ResponsePoints = Points[i].data();
      Manager.GetResponseLUT(&Seeds[i]);
    }
  }
  std::vector<std::vector<tResponsePoint>> Points;
  std::vector<tResponseSeed> Seeds;
  tResponseLUTManager Manager;
};

void BM_GetResponseLUTCached(benchmark::State& State) {
  tCache Cache(static_cast<int>(State.range(0)));
  const tResponseSeed& Seed = Cache.Seeds.back();
  for (auto _ : State)
    benchmark::DoNotOptimize(Cache.Manager.GetResponseLUT(&Seed));
}
BENCHMARK(BM_GetResponseLUTCached)->Arg(1)->Arg(16)->Arg(64);

void BM_BuildResponseLUT(benchmark::State& State) {
  const std::vector<tResponsePoint> Points = {{0, 0.01f}, {128, 1.0f}, {255, 100.0f}};
  tResponseSeed Seed;
  Seed.CurveType = static_cast<tCurveType>(State.range(0));
  Seed.nPoints = 3;
  Seed.ResponsePoints = Points.data();
  tResponseLUT Table{};
  for (auto _ : State) {
    BuildResponseLUT(&Seed, Table);
    benchmark::DoNotOptimize(Table);
  }
}
BENCHMARK(BM_BuildResponseLUT)->Arg(cv_Lin)->Arg(cv_Log10)->Arg(cv_Log2);

void BM_NearestLUTIndex(benchmark::State& State) {
  const std::vector<tResponsePoint> Points = {{0, -60.0f}, {255, 12.0f}};
  tResponseSeed Seed;
  Seed.CurveType = static_cast<tCurveType>(State.range(0));
  Seed.nPoints = 2;
  Seed.ResponsePoints = Points.data();
  tResponseLUT Table{};
  BuildResponseLUT(&Seed, Table);
  std::mt19937 Rng(1);
  std::uniform_real_distribution<float> Value(-70.0f, 20.0f);
  std::vector<float> Xs(1024);
  for (float& x : Xs)
    x = Value(Rng);
  size_t i = 0;
  for (auto _ : State) {
    benchmark::DoNotOptimize(NearestLUTIndex(Table, 255, Xs[i++ & 1023]));
  }
}
// A straight line (the estimate lands on the answer) and a strongly bent curve (the search
// walks from the estimate).
BENCHMARK(BM_NearestLUTIndex)->Arg(cv_Lin)->Arg(cv_RevLog10);

}  // namespace
