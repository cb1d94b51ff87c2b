// Transform and chunking constants shared by the spectral, model and
// separation modules. The relations between them are the point: change one
// and the others follow or the build stops.
#pragma once

#include <cstdint>

constexpr std::int32_t FFT_SIZE = 6144;
constexpr std::int32_t HOP_SIZE = 1024;
constexpr std::int32_t MODEL_FRAMES = 256;
// The topmost bin of a real transform (the Nyquist bin) is never passed on.
constexpr std::int32_t MODEL_BINS = FFT_SIZE / 2;
// Frame t is centred on chunk sample t * HOP_SIZE, so half a frame overhangs each end.
constexpr std::int32_t EDGE_SAMPLES = FFT_SIZE / 2;
constexpr std::int32_t CHUNK_SAMPLES = HOP_SIZE * (MODEL_FRAMES - 1);
constexpr std::int32_t CHUNK_BODY = CHUNK_SAMPLES - 2 * EDGE_SAMPLES;
constexpr std::int32_t CHUNK_STEP = CHUNK_SAMPLES / 2;

constexpr std::int32_t SPECTRUM_BINS = FFT_SIZE / 2 + 1;
constexpr std::int32_t ZEROED_BINS = 3;
constexpr std::int32_t PLANE_FLOATS = MODEL_BINS * MODEL_FRAMES;
constexpr std::int32_t SPECTROGRAM_FLOATS = 4 * PLANE_FLOATS;
constexpr std::int32_t OLA_SAMPLES = HOP_SIZE * (MODEL_FRAMES - 1) + FFT_SIZE;

static_assert(FFT_SIZE % 2 == 0, "the periodic window and the bin count need an even frame");
static_assert(CHUNK_SAMPLES % 2 == 0, "chunks overlap by exactly half");
static_assert(CHUNK_SAMPLES == 261120 && CHUNK_BODY == 254976 && CHUNK_STEP == 130560,
              "the model was trained on chunks of this size");
static_assert(SPECTROGRAM_FLOATS == 3145728, "the model's tensor is [1, 4, 3072, 256]");
static_assert(OLA_SAMPLES == CHUNK_SAMPLES + 2 * EDGE_SAMPLES,
              "the overlap-add span is the chunk plus one margin at each end");
