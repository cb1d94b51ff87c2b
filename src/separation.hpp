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

// Input minus vocals, frame by frame.
Stereo derive_instrumental(const Stereo& input, const Stereo& vocals);
