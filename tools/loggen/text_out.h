// Building blocks of the log generator: a fast seeded PRNG and an append-only text cursor.
// Both are header-only so the line emitters inline them; nothing here allocates.
#ifndef LOGGEN_TEXT_OUT_H
#define LOGGEN_TEXT_OUT_H

#include <cstdint>
#include <cstring>
#include <string_view>

namespace loggen {

// 64-bit multiply-xorshift generator: a few cycles per value, good enough spread for text.
class Rng {
  public:
    explicit Rng(uint64_t seed) : state_(seed ^ 0x9e3779b97f4a7c15ULL) {}
    uint64_t Next() {
        state_ += 0xa0761d6478bd642fULL;
        const unsigned __int128 m =
            static_cast<unsigned __int128>(state_) * (state_ ^ 0xe7037ed1a0b428dbULL);
        return static_cast<uint64_t>(m >> 64) ^ static_cast<uint64_t>(m);
    }
    // Uniform in [0, n).
    uint32_t Below(uint32_t n) {
        return static_cast<uint32_t>(((Next() & 0xffffffffULL) * n) >> 32);
    }
    // True with a probability of perMille / 1000.
    bool Chance(uint32_t perMille) { return Below(1000) < perMille; }
    // Value near `center`, at most `spread` away.
    int32_t Around(int32_t center, uint32_t spread) {
        return center + static_cast<int32_t>(Below(2 * spread + 1)) - static_cast<int32_t>(spread);
    }

  private:
    uint64_t state_;
};

// Cursor over a caller-provided buffer; the caller guarantees room for one whole line.
class Out {
  public:
    explicit Out(char* p) : p_(p) {}
    char* Pos() const { return p_; }

    void Lit(std::string_view s) {
        std::memcpy(p_, s.data(), s.size());
        p_ += s.size();
    }
    void Ch(char c) { *p_++ = c; }
    void Uint(uint64_t v) {
        char tmp[20];
        int n = 0;
        do {
            tmp[n++] = static_cast<char>('0' + v % 10);
            v /= 10;
        } while (v != 0);
        while (n > 0) *p_++ = tmp[--n];
    }
    void Int(int64_t v) {
        if (v < 0) {
            Ch('-');
            Uint(static_cast<uint64_t>(-v));
        } else {
            Uint(static_cast<uint64_t>(v));
        }
    }
    // Zero-padded to `width` digits.
    void Fixed(uint64_t v, int width) {
        for (int i = width - 1; i >= 0; --i) {
            p_[i] = static_cast<char>('0' + v % 10);
            v /= 10;
        }
        p_ += width;
    }
    // Fixed-point value with `decimals` digits after the point, e.g. 2304 with 1 -> "230.4".
    void Dec(int64_t scaled, int decimals) {
        static constexpr uint64_t kPow10[] = {1, 10, 100, 1000, 10000};
        if (scaled < 0) {
            Ch('-');
            scaled = -scaled;
        }
        const uint64_t div = kPow10[decimals];
        Uint(static_cast<uint64_t>(scaled) / div);
        Ch('.');
        Fixed(static_cast<uint64_t>(scaled) % div, decimals);
    }
    void Hex(uint64_t v, int digits, bool upper = false) {
        const char* set = upper ? "0123456789ABCDEF" : "0123456789abcdef";
        for (int i = digits - 1; i >= 0; --i) {
            p_[i] = set[v & 0xf];
            v >>= 4;
        }
        p_ += digits;
    }

  private:
    char* p_;
};

}  // namespace loggen

#endif  // LOGGEN_TEXT_OUT_H
