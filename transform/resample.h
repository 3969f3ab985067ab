#pragma once
#include <cstdint>
#include <functional>

#include "transform/lens.h"
#include "transform/stores.h"

// Run on each band of destination rows [firstRow, endRow) once its pixels are
// done, on the thread that did them; bands never share a row.
using BandCallback = std::function<void(int32_t firstRow, int32_t endRow)>;

// Turns the fisheye picture `source` into the equirectangular `panorama`
// through `lens`, on `threads` threads (0: one per processor core); the bytes
// are the same for every count. The panorama is N = panorama.height pixels
// high: its column x lies at longitude (x + 0.5 - W / 2) * 180 / N degrees,
// east to the right, and its row y (in storage, bottom first) at latitude
// (y + 0.5 - N / 2) * 180 / N. Pixels the lens does not see, or whose 4 x 4
// neighbourhood leaves the source, are left as they are: hand in a black
// panorama. The program's own lens at the picture's own size keeps the
// program's original numbers.
void TransformPicture(const PixelBuffer& source, const PixelBuffer& panorama, const Lens& lens, int32_t threads,
                      const BandCallback& afterBand = {});
// The same in 16 bits: the same placement and weights on 16-bit samples,
// rounded once to 16 bits; the same bits on every path and thread count.
void TransformPicture(const PixelBuffer16& source, const PixelBuffer16& panorama, const Lens& lens, int32_t threads,
                      const BandCallback& afterBand = {});

// One resampling pass by inverse mapping under ProjectionMode, with the
// projection constants SetupProjection made. Destination pixels whose 4 x 4
// neighbourhood is not wholly inside the source are left as they are.
void ResampleImage(const TransformRecord& record);

// Blacks out, in every row of `picture` (or in rows [firstRow, endRow)), the
// columns outside the saved square.
void ClearSideMargins(const PixelBuffer& picture);
void ClearSideMargins(const PixelBuffer16& picture);
void ClearSideMarginRows(const PixelBuffer& picture, int32_t firstRow, int32_t endRow);
