// Separating a song: overlapping chunks through the model, cross-faded back
// together and handed on a chunk step at a time, so that a song of any length
// takes the memory of about one chunk.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "model.hpp"

// Reads the song's next count frames into left and right.
using FrameSource = std::function<void(float* left, float* right, std::size_t count)>;

// count frames of the song and of an estimate at the same positions; blocks
// come in song order, one after another.
struct FrameBlock {
  const float* song_left;
  const float* song_right;
  const float* left;
  const float* right;
  std::size_t count;
};
using FrameSink = std::function<void(const FrameBlock&)>;

// The other stem of a block: the song minus its estimate, frame by frame in
// 32-bit floats, in buffers kept from block to block.
class OtherStem {
 public:
  // The block with its estimate replaced by the song minus it; valid until the next call.
  FrameBlock of(const FrameBlock& b);

 private:
  std::vector<float> left_, right_;
};

// Told after each chunk: the chunks done (from 1) and the chunk count.
using ProgressReport = std::function<void(std::int32_t done, std::int32_t total)>;

// The session's network's estimate of its stem for a song of `frames` frames
// read in order from read, handed to write a chunk step at a time, as soon as
// no later chunk touches it.
void process_song(Session& session, std::uint64_t frames, const FrameSource& read, const FrameSink& write,
                  const ProgressReport& progress);

// The song's vocals by the session's network, handed on like process_song's
// estimate: the estimate, or the song minus it for a network that estimates
// the instrumental.
void estimate_vocals(Session& session, std::uint64_t frames, const FrameSource& read, const FrameSink& write,
                     const ProgressReport& progress);

// The symmetric Hann cross-fade window of one chunk's valid length.
std::vector<float> chunk_window(std::int32_t len);

// The most memory the tool's own buffers take to separate a song with
// networks of these sizes, the runtime's aside, whatever the song's length:
// what one chunk in flight holds, the song's frames for one chunk and one
// step, and the blocks on their way to and from the files.
std::uint64_t separation_bytes(const TransformSizes& sizes, std::int32_t networks);
