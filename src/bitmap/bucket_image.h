// Decoding of one bucket image (a 32-bit roaring bitmap) from untrusted bytes.
//
// The library's own decoders trust the container contents: a run that passes 65535 or an
// unsorted array decodes "successfully" and later corrupts memory. Every image is therefore
// checked against the documented roaring layout before the library sees it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include <roaring/roaring.h>

namespace quillmark {
namespace storage {

// Checks that data[0, length) starts with a well-formed image in the library's portable
// format: known cookie, at most 65536 containers, keys strictly ascending, arrays strictly
// ascending, runs in order, non-overlapping and inside 0..65535, bitset and run cardinalities
// equal to the declared ones, and every container inside the buffer. Returns the image's size
// in bytes, or nothing when the image is malformed.
std::optional<size_t> CheckPortableImage(const char* data, size_t length);

// Decodes a bucket image of exactly `length` bytes or fewer in the portable or native
// format. Returns nullptr when the image is malformed or the allocation fails.
roaring_bitmap_t* DecodeBucketImage(const char* data, size_t length, bool portable);

}  // namespace storage
}  // namespace quillmark
