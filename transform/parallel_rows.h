#pragma once
#include <cstdint>
#include <functional>

// How many threads `threads` stands for: itself, or for 0 one per processor core.
int32_t ThreadCountFor(int32_t threads);

// Bands are this many rows, the last one perhaps fewer; band b starts at row
// b * kRowBandRows.
inline constexpr int32_t kRowBandRows = 16;

// Runs work(firstRow, endRow) over bands of consecutive rows that together
// cover 0 to rows - 1 once, on ThreadCountFor(threads) threads of which the
// calling thread is one. Bands never share a row, so threads that each write
// only their own rows need no lock. Returns when every band is done.
void ForEachRowBand(int32_t rows, int32_t threads, const std::function<void(int32_t firstRow, int32_t endRow)>& work);
