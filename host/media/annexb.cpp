// Annex-B start-code scan.
#include "media/annexb.h"

#include <cstring>

namespace kelm {
namespace {

// Length of the start code at p (3 or 4), or 0 when none begins there.
size_t StartCodeAt(const uint8_t* d, size_t n, size_t p) {
  if (p + 3 <= n && d[p] == 0 && d[p + 1] == 0) {
    if (d[p + 2] == 1) return 3;
    if (p + 4 <= n && d[p + 2] == 0 && d[p + 3] == 1) return 4;
  }
  return 0;
}

// First start code at or after `from`; returns n when there is none.
size_t FindStartCode(const uint8_t* d, size_t n, size_t from, size_t& codeLength) {
  size_t p = from;
  while (p + 3 <= n) {
    // Every start code has a zero at p + 1, so jump straight to candidate zeros.
    const void* z = std::memchr(d + p + 1, 0, n - p - 1);
    if (z == nullptr) break;
    size_t q = static_cast<const uint8_t*>(z) - d - 1;
    if (q + 3 > n) break;
    if (const size_t len = StartCodeAt(d, n, q)) {
      codeLength = len;
      return q;
    }
    p = q + 1;
  }
  codeLength = 0;
  return n;
}

}  // namespace

std::vector<NalUnit> ScanAnnexB(std::span<const uint8_t> frame, proto::VideoCodec codec) {
  std::vector<NalUnit> units;
  const uint8_t* d = frame.data();
  const size_t n = frame.size();
  if (n < 3) return units;
  size_t codeLength = 0;
  size_t p = FindStartCode(d, n, 0, codeLength);
  while (p < n) {
    const size_t h = p + codeLength;
    size_t nextLength = 0;
    const size_t next = h < n ? FindStartCode(d, n, h, nextLength) : n;
    if (h < n) {
      const uint8_t header = d[h];
      const uint8_t type = codec == proto::VideoCodec::Hevc ? static_cast<uint8_t>((header >> 1) & 0x3F)
                                               : static_cast<uint8_t>(header & 0x1F);
      units.push_back({p, next - p, type});
    }
    p = next;
    codeLength = nextLength;
  }
  return units;
}

std::span<const uint8_t> UnitBytes(std::span<const uint8_t> frame, const NalUnit& unit) {
  if (unit.offset >= frame.size()) return {};
  const uint64_t rest = frame.size() - unit.offset;
  const uint64_t length = unit.length == NalUnit::kToEnd || unit.length > rest ? rest : unit.length;
  return frame.subspan(static_cast<size_t>(unit.offset), static_cast<size_t>(length));
}

}  // namespace kelm
