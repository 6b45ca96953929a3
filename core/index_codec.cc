#include "core/index.h"

namespace ormel {

std::vector<uint8_t> encode_index(const IvfPqIndex&) { return {}; }

Result<IvfPqIndex> decode_index(std::span<const uint8_t>) {
  return fail(OrmelError::serialization("index codec not ready"));
}

}  // namespace ormel
