#include "core/cpace.h"

#include <algorithm>

#include "core/crypto.h"
#include "core/curve25519.h"

namespace kelm {
namespace {
constexpr std::string_view kDsi = "CPace255";
constexpr std::string_view kDsiIsk = "CPace255_ISK";
constexpr size_t kHashBlockBytes = 128;  // SHA-512's input block

std::span<const uint8_t> AsBytes(std::string_view text) {
  return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

// Overwrites a secret buffer when the scope ends, however it ends.
class WipeOnExit {
 public:
  WipeOnExit(void* buffer, size_t count) : buffer_(buffer), count_(count) {}
  ~WipeOnExit() { WipeBytes(buffer_, count_); }
  WipeOnExit(const WipeOnExit&) = delete;
  WipeOnExit& operator=(const WipeOnExit&) = delete;

 private:
  void* buffer_;
  size_t count_;
};

size_t LebLength(size_t n) {
  size_t bytes = 1;
  while (n >= 0x80) {
    n >>= 7;
    ++bytes;
  }
  return bytes;
}
}  // namespace

void AppendLv(std::vector<uint8_t>& out, std::span<const uint8_t> data) {
  size_t n = data.size();
  while (n >= 0x80) {
    out.push_back(static_cast<uint8_t>(0x80 | (n & 0x7F)));
    n >>= 7;
  }
  out.push_back(static_cast<uint8_t>(n));
  out.insert(out.end(), data.begin(), data.end());
}

std::vector<uint8_t> CpaceGeneratorString(std::span<const uint8_t> prs, std::span<const uint8_t> ci,
                                          std::span<const uint8_t> sid) {
  // Pads so that DSI and PRS fill the first hash block: the password-dependent part
  // is then absorbed in one block.
  const size_t lvDsi = LebLength(kDsi.size()) + kDsi.size();
  const size_t lvPrs = LebLength(prs.size()) + prs.size();
  const size_t used = 1 + lvDsi + lvPrs;
  const size_t zeros = used < kHashBlockBytes ? kHashBlockBytes - used : 0;
  std::vector<uint8_t> out;
  // Reserved exactly: a reallocation would leave a copy of the code behind.
  out.reserve(lvDsi + lvPrs + LebLength(zeros) + zeros + LebLength(ci.size()) + ci.size() +
              LebLength(sid.size()) + sid.size());
  AppendLv(out, AsBytes(kDsi));
  AppendLv(out, prs);
  const std::vector<uint8_t> pad(zeros, 0);
  AppendLv(out, pad);
  AppendLv(out, ci);
  AppendLv(out, sid);
  return out;
}

std::array<uint8_t, 32> CpaceGenerator(std::span<const uint8_t> prs, std::span<const uint8_t> ci,
                                       std::span<const uint8_t> sid) {
  // The generator string holds the code: wiped on every path, also when hashing throws.
  std::vector<uint8_t> text = CpaceGeneratorString(prs, ci, sid);
  const WipeOnExit wipeText(text.data(), text.size());
  Digest64 h = Sha512Parts({text});
  const WipeOnExit wipeH(h.data(), h.size());
  std::array<uint8_t, 32> r;
  const WipeOnExit wipeR(r.data(), r.size());
  std::copy(h.begin(), h.begin() + 32, r.begin());
  r[31] &= 0x7F;
  std::array<uint8_t, 32> g;
  Elligator2Curve25519(r, g);
  return g;
}

bool X25519NonZero(std::span<const uint8_t, 32> scalar, std::span<const uint8_t, 32> u,
                   std::span<uint8_t, 32> out) {
  X25519(out, scalar, u);
  uint8_t any = 0;
  for (const uint8_t b : out) {
    any |= b;
  }
  return any != 0;
}

std::array<uint8_t, 64> CpaceIsk(std::span<const uint8_t> sid, std::span<const uint8_t, 32> k,
                                 std::span<const uint8_t, 32> ya, std::span<const uint8_t> ada,
                                 std::span<const uint8_t, 32> yb, std::span<const uint8_t> adb) {
  std::vector<uint8_t> text;
  // Reserved exactly: a reallocation would leave a copy of K behind.
  text.reserve(1 + kDsiIsk.size() + LebLength(sid.size()) + sid.size() + 3 * 33 + LebLength(ada.size()) +
               ada.size() + LebLength(adb.size()) + adb.size());
  AppendLv(text, AsBytes(kDsiIsk));
  AppendLv(text, sid);
  AppendLv(text, k);
  AppendLv(text, ya);
  AppendLv(text, ada);
  AppendLv(text, yb);
  AppendLv(text, adb);
  const WipeOnExit wipeText(text.data(), text.size());
  return Sha512Parts({text});
}

}  // namespace kelm
