// Separating a whole song: half-overlapping chunks through the model, cross-faded back together.
#pragma once

#include <cstdint>
#include <vector>

#include "model.hpp"
#include "wav.hpp"

// The vocals stem of the song, as many frames as the input; one progress line per chunk.
Stereo process_song(Session& session, const Stereo& input);

// The symmetric Hann cross-fade window of one chunk's valid length.
std::vector<float> chunk_window(std::int32_t len);

// The most memory the tool's own buffers take to separate a song of this many
// frames, the runtime's aside: 8 bytes a frame for each of the input, the vocals
// and the instrumental, and what one chunk in flight holds.
std::uint64_t separation_bytes(std::uint64_t frames);

// Input minus vocals, frame by frame.
Stereo derive_instrumental(const Stereo& input, const Stereo& vocals);
