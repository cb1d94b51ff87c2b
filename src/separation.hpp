// Separating a whole song: half-overlapping chunks through the model, cross-faded back together.
#pragma once

#include <cstdint>
#include <vector>

#include "model.hpp"
#include "wav.hpp"

// The session's network's estimate of its stem, resynthesised, as many frames
// as the input; one progress line per chunk.
Stereo process_song(Session& session, const Stereo& input);

// The song's vocals by the session's network: its estimate, or the song minus
// it for a network that estimates the instrumental.
Stereo estimate_vocals(Session& session, const Stereo& input);

// sum += addend, and song /= divisor, sample by sample in 32-bit floats: several networks' vocals averaged.
void add_into(Stereo& sum, const Stereo& addend);
void divide(Stereo& song, float divisor);

// stem = input - stem, sample by sample.
void subtract_from(const Stereo& input, Stereo& stem);

// The symmetric Hann cross-fade window of one chunk's valid length.
std::vector<float> chunk_window(std::int32_t len);

// The most memory the tool's own buffers take to separate a song of this many
// frames with networks of these sizes, the runtime's aside: 8 bytes a frame for
// each of the input, the vocals and the instrumental (and the sum of several
// networks' vocals), and what one chunk in flight holds.
std::uint64_t separation_bytes(std::uint64_t frames, const TransformSizes& sizes = DEFAULT_SIZES,
                               std::int32_t networks = 1);

// Input minus vocals, frame by frame.
Stereo derive_instrumental(const Stereo& input, const Stereo& vocals);
