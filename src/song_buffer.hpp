// Song-sized sample buffers: made without being written, so that every page
// is first touched by the value that stays in it, and backed by huge pages
// where the system offers them.
#pragma once

#include <cstddef>
#include <memory>
#include <vector>

// Empties samples and makes room for count floats without writing them; the
// caller appends every value once.
void reserve_song(std::vector<float>& samples, std::size_t count);

// count bytes, not written (no zero fill); the caller writes each before reading it.
std::unique_ptr<unsigned char[]> unwritten_bytes(std::size_t count);
