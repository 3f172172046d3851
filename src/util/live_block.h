// Reading a block out of a mapping that a live writer (another process, or another segment
// object on the same file) may change under the reader. Shared by the data and journal segment
// readers; the data segment owns it.
//
// What a writer does to a block in place, and what a reader holds on to:
// - A raw block grows at its end and its header's payload size follows; a seal first stages its
//   compressed bytes past both forms of the block, then marks the header sealed, then copies the
//   bytes over the raw records. A reader that copied records out of a raw block looks at the
//   header again (look_block_header) and reads the block in its sealed form when it changed.
// - A sealed header may be seen before the copy over the raw records has finished:
//   decode_sealed decodes the bytes the header names first, and the staged copy only when those
//   do not decode, so a copy the writer has since finished (and overwritten the staged region
//   after) is never passed over for the staged one.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "../error.h"
#include "block_header.h"

namespace quelvane::util {

// A block header as one look at the mapping saw it, the reserved word included (the data
// segment keeps an in-place correction's marker there). Two looks that compare equal saw no
// change of the block's form, size, record count or marker in between.
struct LiveHeader {
  BlockHeader header;
  std::uint32_t reserved = 0;

  bool operator==(const LiveHeader&) const = default;
};

// Loads the 16 bytes at pos after every load the caller made before, so a look taken after
// copying bytes out of the block sees any change that began before the copy ended. The caller
// has checked that the header lies inside file.
LiveHeader look_block_header(std::span<const std::uint8_t> file, std::uint64_t pos);

// Where a seal stages its compressed bytes: past both the raw block and its sealed form.
std::uint64_t staged_copy_at(std::uint64_t payload_at, const BlockHeader& sealed);

// Checks that a decoded payload holds exactly the block's records; its error names what is
// wrong in the words of the caller's own format.
using RecordsCheck = std::function<Status(std::span<const std::uint8_t>)>;

// The raw payload of a sealed block decoded from the `sealed.payload_size` bytes at at: exactly
// uncompressed_size bytes that `whole` accepts, else an error.
Result<std::vector<std::uint8_t>> decode_in_place(std::span<const std::uint8_t> file, std::uint64_t at,
                                                  const BlockHeader& sealed, std::uint8_t compress_type,
                                                  const RecordsCheck& whole);

// The raw payload of a sealed block whose header is `sealed` and whose payload starts at
// payload_at: the bytes the header names if they decode to exactly uncompressed_size bytes that
// `whole` accepts, else the staged copy under the same test. When neither does, the error of
// the first attempt (the block as its header names it) is returned.
Result<std::vector<std::uint8_t>> decode_sealed(std::span<const std::uint8_t> file, std::uint64_t payload_at,
                                                const BlockHeader& sealed, std::uint8_t compress_type,
                                                const RecordsCheck& whole);

}  // namespace quelvane::util
