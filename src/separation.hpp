// Separating a whole song: overlapping chunks through the model, cross-faded back together.
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

// out = a - b, sample by sample; out may be a or b itself.
void difference_into(const Stereo& a, const Stereo& b, Stereo& out);

// The symmetric Hann cross-fade window of one chunk's valid length.
std::vector<float> chunk_window(std::int32_t len);

// The most memory the tool's own buffers take to separate a song of this many
// frames with networks of these sizes, the runtime's aside: 8 bytes a frame for
// each of the input (which becomes the instrumental) and the vocals (and the
// running network's vocals beside the sum of several), and what one chunk in
// flight holds. Reading takes no more: the file's bytes, at most 8 a frame,
// and the decoded input.
std::uint64_t separation_bytes(std::uint64_t frames, const TransformSizes& sizes = DEFAULT_SIZES,
                               std::int32_t networks = 1);

// Input minus vocals, frame by frame, in a new buffer.
Stereo derive_instrumental(const Stereo& input, const Stereo& vocals);
