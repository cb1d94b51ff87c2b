#include "pipeline_support.hpp"

#include <algorithm>
#include <stdexcept>

Spectrogram chunk_spectrogram(const std::vector<float>& left, const std::vector<float>& right,
                              const std::vector<float>& window) {
  Spectrogram spec;
  ChunkTransforms(window, DEFAULT_SIZES).analyse(left.data(), right.data(), spec);
  return spec;
}

ChunkSamples resynthesize_chunk(const Spectrogram& spectrogram, const std::vector<float>& window) {
  ChunkTransforms transforms(window, DEFAULT_SIZES);
  return transforms.resynthesize(spectrogram);
}

void infer_chunk(Session& session, Spectrogram& spectrogram) {
  Spectrogram output;
  infer_chunk(session, spectrogram, output);
  spectrogram.swap(output);
}

Stereo process_song(Session& session, const Stereo& song, const ProgressReport& progress) {
  if (song.right.size() != song.left.size()) throw std::invalid_argument("channels of different lengths");
  std::size_t next = 0;
  const FrameSource read = [&](float* left, float* right, std::size_t count) {
    std::copy_n(song.left.begin() + static_cast<std::ptrdiff_t>(next), count, left);
    std::copy_n(song.right.begin() + static_cast<std::ptrdiff_t>(next), count, right);
    next += count;
  };
  Stereo estimate;
  const FrameSink write = [&](const FrameBlock& b) {
    estimate.left.insert(estimate.left.end(), b.left, b.left + b.count);
    estimate.right.insert(estimate.right.end(), b.right, b.right + b.count);
  };
  process_song(session, song.left.size(), read, write, progress);
  return estimate;
}
