#pragma once
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <string>

#include "imageio/result.h"
#include "transform/dual_lens.h"
#include "transform/lens.h"
#include "video/video_reader.h"
#include "video/video_writer.h"

// A video into a panorama video, frame by frame through one lens or two
// lenses held for the whole clip, on a pipeline: one thread decodes, the
// transform runs on `threads`, one thread encodes and writes, with a bounded
// number of frames in between (memory does not grow with the clip).

struct VideoConversion {
  bool dual = false;
  Lens lens;          // one lens, as placed on the frames
  DualLens dualLens;  // two lenses: circles and offset, the clip's
  PanoramaSize size;  // the panorama each frame turns into
  VideoOutput output;
  int32_t threads = 1;
  int32_t sharpen = 0;  // uses of Save and Sharpen, as for pictures
  // After each frame written: how many are.
  std::function<void(int64_t framesWritten)> progress;
};

// Two lenses' exposure gains are worked out on every frame and used as their
// mean over the frames within this many seconds either side.
inline constexpr double kGainHalfWindowSeconds = 0.5;

// Converts `input` (open, nothing read yet) into the file `output`, written
// under a temporary name beside it and put in its place only once complete;
// on failure or Ctrl-C nothing is left of it. Notes go to `notes`.
Result ConvertVideo(VideoReader& input, const std::string& output, const VideoConversion& conversion,
                    std::ostream& notes);

// The pipeline alone, into any sink: `input` open, nothing read yet.
Result RunVideoPipeline(VideoReader& input, VideoSink& sink, const VideoConversion& conversion);

// The gains used for each frame: the mean of the gains of the frames within
// `halfWindow` (in the times' units) of it. `times` rise.
ChannelGains SmoothedGains(const std::vector<int64_t>& times, const std::vector<ChannelGains>& gains, size_t at,
                           int64_t halfWindow);
