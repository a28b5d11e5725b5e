// SipHash keyed hashing, streaming, with the round counts as template parameters.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace vrel {

// SipHash-C-D with a 128-bit key given as two 64-bit words (k0 is the key's first eight
// bytes read little-endian, k1 the last eight). Input may be fed in any number of pieces:
// the result depends only on the concatenated bytes, never on how they were split.
// finish() does not consume the state, so more input may follow it.
//
// The variable store hashes an identifier on every insert and every read that does not find
// the variable's cell in the node's memo (see detail::CellMemo; a memo holds a cell, never a
// hash), so the whole class is inline: full 8-byte words
// are loaded with memcpy (one unaligned load on the targets we build for), and only the
// last 0 to 7 bytes of a write are handled byte by byte.
template <int C, int D>
class SipHasher {
  static_assert(C > 0 && D > 0, "SipHash needs at least one round of each kind");

 public:
  explicit SipHasher(std::uint64_t k0, std::uint64_t k1) noexcept
      : v0_(k0 ^ 0x736f6d6570736575u),
        v1_(k1 ^ 0x646f72616e646f6du),
        v2_(k0 ^ 0x6c7967656e657261u),
        v3_(k1 ^ 0x7465646279746573u) {}

  // Appends `len` bytes starting at `data` (which may be null when `len` is 0).
  void write(const void* data, std::size_t len) noexcept {
    const auto* p = static_cast<const unsigned char*>(data);
    length_ += len;
    if (pending_len_ != 0) {
      // Complete the word started by an earlier write before taking whole words.
      const std::size_t fill = len < 8 - pending_len_ ? len : 8 - pending_len_;
      pending_ |= load_partial(p, fill) << (8 * pending_len_);
      pending_len_ += fill;
      p += fill;
      len -= fill;
      if (pending_len_ < 8) return;
      compress(pending_);
      pending_ = 0;
      pending_len_ = 0;
    }
    for (; len >= 8; p += 8, len -= 8) compress(load_le64(p));
    pending_ = load_partial(p, len);
    pending_len_ = len;
  }

  // Appends `value` as 8 bytes, least significant first.
  void write_u64(std::uint64_t value) noexcept {
    length_ += 8;
    if (pending_len_ == 0) {
      compress(value);
      return;
    }
    // The pending bytes form the low end of the next word; `value` supplies the rest and
    // its high bytes become the new pending bytes (their count does not change).
    const unsigned shift = 8 * static_cast<unsigned>(pending_len_);
    compress(pending_ | (value << shift));
    pending_ = value >> (64 - shift);
  }

  // In one pass, the hash of the 8-byte word `head`, then `len` bytes at `data`, then the
  // byte `end`: what a streaming hasher gives for write_u64(head), write(data, len),
  // write(&end, 1), finish(), without its per-write bookkeeping. Text identifiers are
  // hashed this way.
  static std::uint64_t framed(std::uint64_t k0, std::uint64_t k1, std::uint64_t head,
                              const void* data, std::size_t len, unsigned char end) noexcept {
    SipHasher h(k0, k1);
    h.compress(head);
    const auto* p = static_cast<const unsigned char*>(data);
    std::size_t rest = len;
    for (; rest >= 8; p += 8, rest -= 8) h.compress(load_le64(p));
    // The last 0 to 7 bytes: when the text is at least a word long, the word that ends
    // where it ends, shifted down (one load instead of a byte at a time).
    std::uint64_t tail = len >= 8 ? (rest == 0 ? 0 : load_le64(p + rest - 8) >> (64 - 8 * rest))
                                  : load_partial(p, rest);
    tail |= std::uint64_t{end} << (8 * rest);
    if (rest == 7) {
      h.compress(tail);
      tail = 0;
    }
    h.pending_ = tail;
    h.length_ = len + 9;
    return h.finish();
  }

  // The hash of everything written so far.
  std::uint64_t finish() const noexcept {
    // The last block holds the pending bytes and, in its top byte, the total length mod 256.
    const std::uint64_t last = pending_ | (length_ << 56);
    State s{v0_, v1_, v2_, v3_};
    s.v3 ^= last;
    for (int i = 0; i < C; ++i) s.round();
    s.v0 ^= last;
    s.v2 ^= 0xff;
    for (int i = 0; i < D; ++i) s.round();
    return s.v0 ^ s.v1 ^ s.v2 ^ s.v3;
  }

 private:
  struct State {
    std::uint64_t v0, v1, v2, v3;
    void round() noexcept {
      v0 += v1;
      v1 = std::rotl(v1, 13);
      v1 ^= v0;
      v0 = std::rotl(v0, 32);
      v2 += v3;
      v3 = std::rotl(v3, 16);
      v3 ^= v2;
      v0 += v3;
      v3 = std::rotl(v3, 21);
      v3 ^= v0;
      v2 += v1;
      v1 = std::rotl(v1, 17);
      v1 ^= v2;
      v2 = std::rotl(v2, 32);
    }
  };

  static std::uint64_t load_le64(const unsigned char* p) noexcept {
    std::uint64_t word;
    std::memcpy(&word, p, sizeof word);
    if constexpr (std::endian::native == std::endian::big) word = __builtin_bswap64(word);
    return word;
  }

  // Reads n < 8 bytes (n == 8 is allowed too) as the low end of a little-endian word.
  static std::uint64_t load_partial(const unsigned char* p, std::size_t n) noexcept {
    std::uint64_t word = 0;
    for (std::size_t i = 0; i < n; ++i) word |= std::uint64_t{p[i]} << (8 * i);
    return word;
  }

  void compress(std::uint64_t m) noexcept {
    State s{v0_, v1_, v2_, v3_};
    s.v3 ^= m;
    for (int i = 0; i < C; ++i) s.round();
    s.v0 ^= m;
    v0_ = s.v0;
    v1_ = s.v1;
    v2_ = s.v2;
    v3_ = s.v3;
  }

  std::uint64_t v0_, v1_, v2_, v3_;
  std::uint64_t pending_ = 0;    // bytes not yet compressed, packed little-endian
  std::size_t pending_len_ = 0;  // how many: always 0 to 7 between calls
  std::uint64_t length_ = 0;     // total bytes written, mod 2^64 (only mod 256 matters)
};

using SipHasher13 = SipHasher<1, 3>;
using SipHasher24 = SipHasher<2, 4>;

// Both variants are instantiated once in siphash.cpp; the members stay inline, so callers
// still get them expanded in place.
extern template class SipHasher<1, 3>;
extern template class SipHasher<2, 4>;

}  // namespace vrel
