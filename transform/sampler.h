#pragma once
#include <array>
#include <cstdint>

// Cubic Lagrange sampling over a 4 x 4 neighbourhood (pixel layout: pixel_buffer.h).

inline constexpr int kByteToLevelEntries = 1025;
inline constexpr int kSixteenthToByteEntries = 4097;
extern std::array<float, kByteToLevelEntries> ByteToLevel;
extern std::array<int32_t, kSixteenthToByteEntries> SixteenthToByte;
extern std::array<const uint8_t*, 4> NeighbourRows;

void BuildSampleTables();

// Weights for samples at -1, 0, +1 and +2 from the nearest pixel, t in [-0.5, 0.5].
std::array<float, 4> CubicWeights(float t);

// Interpolates at fractional offsets (fu, fv) from the pixel that
// NeighbourRows[1][1] addresses; writes bytes 0 to 2 of `destination`.
void SampleBicubic(uint8_t* destination, float fu, float fv);

// The same with the four neighbour rows given, for passes that run on several
// threads at once.
void SampleBicubicAt(uint8_t* destination, const uint8_t* const rows[4], float fu, float fv);

// The same on 16-bit samples (rows of PixelBuffer16 pixels): the same
// weights and sums, rounded once to 0..65535; writes samples 0 to 2.
void SampleBicubicAt16(uint16_t* destination, const uint16_t* const rows[4], float fu, float fv);
