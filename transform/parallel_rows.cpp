#include "transform/parallel_rows.h"

#include <algorithm>
#include <atomic>
#include <system_error>
#include <thread>
#include <vector>

int32_t ThreadCountFor(int32_t threads) {
  if (threads > 0) return threads;
  const unsigned cores = std::thread::hardware_concurrency();
  return cores == 0 ? 1 : static_cast<int32_t>(std::min(cores, 256u));
}

void ForEachRowBand(int32_t rows, int32_t threadsAsked, const std::function<void(int32_t firstRow, int32_t endRow)>& work) {
  if (rows <= 0) return;
  // Bands of 16 rows: a 4000-pixel band is 256 KB, small enough to stay in
  // the cache for whatever the caller does with it next, and many enough
  // that threads finishing at different speeds share out the rest evenly.
  constexpr int32_t kBandRows = kRowBandRows;
  const int32_t bands = (rows + kBandRows - 1) / kBandRows;
  const int32_t threads = std::min(ThreadCountFor(threadsAsked), bands);
  std::atomic<int32_t> nextBand{0};
  auto takeBands = [&] {
    for (int32_t band = nextBand++; band < bands; band = nextBand++) {
      const int32_t first = band * kBandRows;
      work(first, std::min(first + kBandRows, rows));
    }
  };

  std::vector<std::thread> helpers;
  helpers.reserve(static_cast<size_t>(threads - 1));
  for (int32_t i = 1; i < threads; ++i) {
    try {
      helpers.emplace_back(takeBands);
    } catch (const std::system_error&) {
      break;  // no more threads to be had: the ones running share the bands
    }
  }
  takeBands();
  for (std::thread& helper : helpers) helper.join();
}
