// SHA-512 (FIPS 180-2) digest object.
#include "codec/sha512.h"

#include <cstdio>
#include <cstring>
#include <vector>

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#endif
#if (defined(__i386__) || defined(__x86_64__)) && defined(__GNUC__)
#define GCA_SHA512_X86_VECTORS 1
#include <emmintrin.h>
#include <mmintrin.h>
#endif

#include "codec/cpu_features.h"
#include "codec/sha512_paths.h"

namespace gca {
namespace {

constexpr uint64_t kInitialState[8] = {
    0x6a09e667f3bcc908ull, 0xbb67ae8584caa73bull, 0x3c6ef372fe94f82bull,
    0xa54ff53a5f1d36f1ull, 0x510e527fade682d1ull, 0x9b05688c2b3e6c1full,
    0x1f83d9abfb41bd6bull, 0x5be0cd19137e2179ull};

constexpr uint64_t kRound[80] = {
    0x428a2f98d728ae22ull, 0x7137449123ef65cdull, 0xb5c0fbcfec4d3b2full,
    0xe9b5dba58189dbbcull, 0x3956c25bf348b538ull, 0x59f111f1b605d019ull,
    0x923f82a4af194f9bull, 0xab1c5ed5da6d8118ull, 0xd807aa98a3030242ull,
    0x12835b0145706fbeull, 0x243185be4ee4b28cull, 0x550c7dc3d5ffb4e2ull,
    0x72be5d74f27b896full, 0x80deb1fe3b1696b1ull, 0x9bdc06a725c71235ull,
    0xc19bf174cf692694ull, 0xe49b69c19ef14ad2ull, 0xefbe4786384f25e3ull,
    0x0fc19dc68b8cd5b5ull, 0x240ca1cc77ac9c65ull, 0x2de92c6f592b0275ull,
    0x4a7484aa6ea6e483ull, 0x5cb0a9dcbd41fbd4ull, 0x76f988da831153b5ull,
    0x983e5152ee66dfabull, 0xa831c66d2db43210ull, 0xb00327c898fb213full,
    0xbf597fc7beef0ee4ull, 0xc6e00bf33da88fc2ull, 0xd5a79147930aa725ull,
    0x06ca6351e003826full, 0x142929670a0e6e70ull, 0x27b70a8546d22ffcull,
    0x2e1b21385c26c926ull, 0x4d2c6dfc5ac42aedull, 0x53380d139d95b3dfull,
    0x650a73548baf63deull, 0x766a0abb3c77b2a8ull, 0x81c2c92e47edaee6ull,
    0x92722c851482353bull, 0xa2bfe8a14cf10364ull, 0xa81a664bbc423001ull,
    0xc24b8b70d0f89791ull, 0xc76c51a30654be30ull, 0xd192e819d6ef5218ull,
    0xd69906245565a910ull, 0xf40e35855771202aull, 0x106aa07032bbd1b8ull,
    0x19a4c116b8d2d0c8ull, 0x1e376c085141ab53ull, 0x2748774cdf8eeb99ull,
    0x34b0bcb5e19b48a8ull, 0x391c0cb3c5c95a63ull, 0x4ed8aa4ae3418acbull,
    0x5b9cca4f7763e373ull, 0x682e6ff3d6b2b8a3ull, 0x748f82ee5defb2fcull,
    0x78a5636f43172f60ull, 0x84c87814a1f0ab72ull, 0x8cc702081a6439ecull,
    0x90befffa23631e28ull, 0xa4506cebde82bde9ull, 0xbef9a3f7b2c67915ull,
    0xc67178f2e372532bull, 0xca273eceea26619cull, 0xd186b8c721c0c207ull,
    0xeada7dd6cde0eb1eull, 0xf57d4f7fee6ed178ull, 0x06f067aa72176fbaull,
    0x0a637dc5a2c898a6ull, 0x113f9804bef90daeull, 0x1b710b35131c471bull,
    0x28db77f523047d84ull, 0x32caab7b40c72493ull, 0x3c9ebe0a15c9bebcull,
    0x431d67c49c100d4cull, 0x4cc5d4becb3e42b6ull, 0x597f299cfc657e2aull,
    0x5fcb6fab3ad6faecull, 0x6c44198c4a475817ull};

inline uint64_t Rotr(uint64_t x, unsigned n) { return (x >> n) | (x << (64 - n)); }

#if defined(__GNUC__)
#define GCA_ALWAYS_INLINE inline __attribute__((always_inline))
#else
#define GCA_ALWAYS_INLINE inline
#endif

// Always inlined: the vector paths are compiled for other instruction sets, and a call
// per word would cost the 32-bit build a tenth of its speed.
GCA_ALWAYS_INLINE uint64_t LoadBe64(const uint8_t* p) {
#if defined(__GNUC__) && defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  uint64_t v;
  std::memcpy(&v, p, 8);
  return __builtin_bswap64(v);
#else
  return (uint64_t(p[0]) << 56) | (uint64_t(p[1]) << 48) | (uint64_t(p[2]) << 40) |
         (uint64_t(p[3]) << 32) | (uint64_t(p[4]) << 24) | (uint64_t(p[5]) << 16) |
         (uint64_t(p[6]) << 8) | uint64_t(p[7]);
#endif
}

inline uint64_t BigSigma0(uint64_t x) { return Rotr(x, 28) ^ Rotr(x, 34) ^ Rotr(x, 39); }
inline uint64_t BigSigma1(uint64_t x) { return Rotr(x, 14) ^ Rotr(x, 18) ^ Rotr(x, 41); }
inline uint64_t SmallSigma0(uint64_t x) { return Rotr(x, 1) ^ Rotr(x, 8) ^ (x >> 7); }
inline uint64_t SmallSigma1(uint64_t x) { return Rotr(x, 19) ^ Rotr(x, 61) ^ (x >> 6); }

// One round; the eight working variables are renamed instead of moved.
// One round; the eight working variables are renamed instead of moved. The sum that
// becomes the new a takes BigSigma0(a) last, so that its chain through a stays short.
// Maj(a, b, c) = b ^ ((a ^ b) & (b ^ c)), where b ^ c is the previous round's a ^ b.
#define GCA_SHA512_ROUND(a, b, c, d, e, f, g, h, kw)                  \
  do {                                                                \
    uint64_t t = h + (kw) + (g ^ (e & (f ^ g)));                      \
    t += BigSigma1(e);                                                \
    d += t;                                                           \
    const uint64_t ab = a ^ b;                                        \
    t += b ^ (ab & bc);                                               \
    bc = ab;                                                          \
    h = t + BigSigma0(a);                                             \
  } while (0)

#define GCA_SHA512_EIGHT(i, kw)                                       \
  do {                                                                \
    GCA_SHA512_ROUND(a, b, c, d, e, f, g, h, kw(i + 0));              \
    GCA_SHA512_ROUND(h, a, b, c, d, e, f, g, kw(i + 1));              \
    GCA_SHA512_ROUND(g, h, a, b, c, d, e, f, kw(i + 2));              \
    GCA_SHA512_ROUND(f, g, h, a, b, c, d, e, kw(i + 3));              \
    GCA_SHA512_ROUND(e, f, g, h, a, b, c, d, kw(i + 4));              \
    GCA_SHA512_ROUND(d, e, f, g, h, a, b, c, kw(i + 5));              \
    GCA_SHA512_ROUND(c, d, e, f, g, h, a, b, kw(i + 6));              \
    GCA_SHA512_ROUND(b, c, d, e, f, g, h, a, kw(i + 7));              \
  } while (0)

// Rounds 0..15 read the block; later rounds extend the schedule in a ring of 16 words.
#define GCA_W_LOAD(i) (kRound[i] + (w[i] = LoadBe64(block + 8 * (i))))
#define GCA_W_NEXT(i)                                                             \
  (kRound[i] + (w[(i) & 15] += SmallSigma1(w[((i) - 2) & 15]) + w[((i) - 7) & 15] + \
                               SmallSigma0(w[((i) - 15) & 15])))


GCA_ALWAYS_INLINE void CompressBlocks(uint64_t state[8], const uint8_t* block, size_t count) {
  for (; count != 0; --count, block += 128) {
    uint64_t w[16];
    uint64_t a = state[0], b = state[1], c = state[2], d = state[3];
    uint64_t e = state[4], f = state[5], g = state[6], h = state[7];
    uint64_t bc = b ^ c;
    GCA_SHA512_EIGHT(0, GCA_W_LOAD);
    GCA_SHA512_EIGHT(8, GCA_W_LOAD);
    for (int i = 16; i < 80; i += 16) {
      GCA_SHA512_EIGHT(i, GCA_W_NEXT);
      GCA_SHA512_EIGHT(i + 8, GCA_W_NEXT);
    }
    state[0] += a; state[1] += b; state[2] += c; state[3] += d;
    state[4] += e; state[5] += f; state[6] += g; state[7] += h;
  }
}

#undef GCA_W_NEXT
#undef GCA_W_LOAD

// The portable compression function, for any processor.
void CompressPortable(uint64_t state[8], const uint8_t* block, size_t count) {
  CompressBlocks(state, block, count);
}

using CompressFunction = void (*)(uint64_t state[8], const uint8_t* block, size_t count);

#if defined(GCA_SHA512_X86_VECTORS)
// 64-bit words in the low half of SSE2 registers: 32-bit processors have no 64-bit
// general registers, and SSE2 adds, shifts and logic work on whole 64-bit words.
#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("sse2"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("sse2")
#endif
namespace sse2 {
using V = __m128i;
inline V Load(const uint64_t* p) { return _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)); }
inline void Store(uint64_t* p, V v) { _mm_storel_epi64(reinterpret_cast<__m128i*>(p), v); }
inline V Add(V a, V b) { return _mm_add_epi64(a, b); }
inline V Xor(V a, V b) { return _mm_xor_si128(a, b); }
inline V And(V a, V b) { return _mm_and_si128(a, b); }
inline V Shr(V a, int n) { return _mm_srli_epi64(a, n); }
inline V Shl(V a, int n) { return _mm_slli_epi64(a, n); }
inline V LoadPair(const uint64_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }
inline void StorePair(uint64_t* p, V v) { _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v); }
inline V Mid(V x, V y) {
  return _mm_castpd_si128(_mm_shuffle_pd(_mm_castsi128_pd(x), _mm_castsi128_pd(y), 1));
}
#define GCA_VECTOR_PAIRS 1
#define GCA_VECTOR_NAME CompressSse2
#define GCA_VECTOR_END (void)0
#if defined(__i386__) && defined(__GNUC__)
#define GCA_VECTOR_SCHEDULE_ONLY 1
#endif
#include "codec/sha512_vector.inc"
#undef GCA_VECTOR_END
#undef GCA_VECTOR_NAME
#if defined(GCA_VECTOR_SCHEDULE_ONLY)
#undef GCA_VECTOR_SCHEDULE_ONLY
// 32-bit code has eight vector registers, and a compiler spills the round's values, the
// chained a and e among them, so that each round waits for a store to reach a load. The
// rounds are therefore written out: a, e and b ^ c stay in xmm0-xmm2 from round to
// round, the five others serve the two big sigmas, Ch and Maj, and every new a and e is
// stored into a ring of the block's words, from which the later rounds load b, d, f, g
// and h (long since stored). A[i + 3] is round i's a, E[i + 3] its e.
#define GCA_SSE2_ROUND(i)                                                                  \
  __asm__(/* T1 = h + K + W + Ch(e, f, g) + Sigma1(e), with Sigma1 as two shift chains */   \
          "movdqa %[e], %%xmm3\n\t psrlq $14, %%xmm3\n\t"                                \
          "movdqa %[e], %%xmm4\n\t psllq $23, %%xmm4\n\t"                                \
          "movdqa %%xmm3, %%xmm5\n\t psrlq $4, %%xmm5\n\t"                               \
          "pxor %%xmm4, %%xmm3\n\t psllq $23, %%xmm4\n\t"                                \
          "pxor %%xmm5, %%xmm3\n\t psrlq $23, %%xmm5\n\t"                                \
          "pxor %%xmm4, %%xmm3\n\t psllq $4, %%xmm4\n\t"                                 \
          "pxor %%xmm5, %%xmm3\n\t pxor %%xmm4, %%xmm3\n\t"                              \
          "movq %[f], %%xmm4\n\t movq %[g], %%xmm5\n\t"                                  \
          "pxor %%xmm5, %%xmm4\n\t pand %[e], %%xmm4\n\t pxor %%xmm5, %%xmm4\n\t"        \
          "paddq %%xmm4, %%xmm3\n\t"                                                     \
          "movq %[h], %%xmm4\n\t movq %[kw], %%xmm5\n\t paddq %%xmm5, %%xmm4\n\t"        \
          "paddq %%xmm4, %%xmm3\n\t"                                                     \
          /* the new e = d + T1 */                                                         \
          "movq %[d], %[e]\n\t paddq %%xmm3, %[e]\n\t movq %[e], %[ne]\n\t"              \
          /* Maj(a, b, c) = b ^ ((a ^ b) & (b ^ c)); a ^ b is the next round's b ^ c */    \
          "movq %[b], %%xmm5\n\t movdqa %[a], %%xmm6\n\t pxor %%xmm5, %%xmm6\n\t"        \
          "movdqa %%xmm6, %%xmm7\n\t pand %[bc], %%xmm6\n\t pxor %%xmm5, %%xmm6\n\t"     \
          "paddq %%xmm6, %%xmm3\n\t movdqa %%xmm7, %[bc]\n\t"                            \
          /* the new a = T1 + Maj + Sigma0(a) */                                           \
          "movdqa %[a], %%xmm5\n\t psrlq $28, %%xmm5\n\t"                                \
          "movdqa %[a], %%xmm6\n\t psllq $25, %%xmm6\n\t"                                \
          "movdqa %%xmm5, %%xmm7\n\t psrlq $6, %%xmm7\n\t"                               \
          "pxor %%xmm6, %%xmm5\n\t psllq $5, %%xmm6\n\t"                                 \
          "pxor %%xmm7, %%xmm5\n\t psrlq $5, %%xmm7\n\t"                                 \
          "pxor %%xmm6, %%xmm5\n\t psllq $6, %%xmm6\n\t"                                 \
          "pxor %%xmm7, %%xmm5\n\t pxor %%xmm6, %%xmm5\n\t"                              \
          "paddq %%xmm5, %%xmm3\n\t movq %%xmm3, %[na]\n\t movdqa %%xmm3, %[a]"          \
          : [a] "+x"(a), [e] "+x"(e), [bc] "+x"(bc), [na] "=m"(ring_a[(i) + 4]),           \
            [ne] "=m"(ring_e[(i) + 4])                                                     \
          : [b] "m"(ring_a[(i) + 2]), [d] "m"(ring_a[i]), [f] "m"(ring_e[(i) + 2]),        \
            [g] "m"(ring_e[(i) + 1]), [h] "m"(ring_e[i]), [kw] "m"(wk[i])                  \
          : "xmm3", "xmm4", "xmm5", "xmm6", "xmm7")

void CompressSse2(uint64_t state[8], const uint8_t* block, size_t count) {
  uint64_t wk[80];
  uint64_t ring_a[84], ring_e[84];
  for (; count != 0; --count, block += 128) {
    Schedule(block, wk);
    for (int k = 0; k < 4; ++k) {
      ring_a[3 - k] = state[k];
      ring_e[3 - k] = state[4 + k];
    }
    V a = Load(ring_a + 3), e = Load(ring_e + 3);
    V bc = Xor(Load(ring_a + 2), Load(ring_a + 1));
    for (int i = 0; i < 80; i += 8) {
      GCA_SSE2_ROUND(i); GCA_SSE2_ROUND(i + 1); GCA_SSE2_ROUND(i + 2); GCA_SSE2_ROUND(i + 3);
      GCA_SSE2_ROUND(i + 4); GCA_SSE2_ROUND(i + 5); GCA_SSE2_ROUND(i + 6); GCA_SSE2_ROUND(i + 7);
    }
    for (int k = 0; k < 4; ++k) {
      state[k] += ring_a[83 - k];
      state[4 + k] += ring_e[83 - k];
    }
  }
}
#undef GCA_SSE2_ROUND
#endif
}  // namespace sse2
#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif

// The same SSE2 code in the three-operand AVX encoding, which saves the register copies
// that two-operand shifts need.
#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx")
#endif
namespace avx {
using V = __m128i;
inline V Load(const uint64_t* p) { return _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)); }
inline void Store(uint64_t* p, V v) { _mm_storel_epi64(reinterpret_cast<__m128i*>(p), v); }
inline V Add(V a, V b) { return _mm_add_epi64(a, b); }
inline V Xor(V a, V b) { return _mm_xor_si128(a, b); }
inline V And(V a, V b) { return _mm_and_si128(a, b); }
inline V Shr(V a, int n) { return _mm_srli_epi64(a, n); }
inline V Shl(V a, int n) { return _mm_slli_epi64(a, n); }
inline V LoadPair(const uint64_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }
inline void StorePair(uint64_t* p, V v) { _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v); }
inline V Mid(V x, V y) {
  return _mm_castpd_si128(_mm_shuffle_pd(_mm_castsi128_pd(x), _mm_castsi128_pd(y), 1));
}
#define GCA_VECTOR_NAME CompressAvx
#define GCA_VECTOR_END (void)0
#include "codec/sha512_vector.inc"
#undef GCA_VECTOR_END
#undef GCA_VECTOR_NAME
#undef GCA_VECTOR_PAIRS
}  // namespace avx
#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif

// 64-bit words in MMX registers, for processors before SSE2: MMX adds only 32-bit
// lanes, so a 64-bit sum adds the carry out of the low lane into the high one.
#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("mmx"))), apply_to = function)
#else
#pragma GCC push_options
#if defined(__i386__)
#pragma GCC target("mmx,no-sse")
#else
#pragma GCC target("mmx")  // 64-bit code passes __m64 in SSE registers
#endif
#endif
namespace mmx {
using V = __m64;
inline V Load(const uint64_t* p) {
  V v;
  std::memcpy(&v, p, 8);
  return v;
}
inline void Store(uint64_t* p, V v) { std::memcpy(p, &v, 8); }
inline V Add(V a, V b) {
  const V sum = _mm_add_pi32(a, b);
  // Carry out of each lane: set when both top bits are set, or either is and the
  // sum's is not.
  const V carry = _mm_srli_pi32(_mm_or_si64(_mm_and_si64(a, b), _mm_andnot_si64(sum, _mm_or_si64(a, b))), 31);
  return _mm_add_pi32(sum, _mm_slli_si64(carry, 32));
}
inline V Xor(V a, V b) { return _mm_xor_si64(a, b); }
inline V And(V a, V b) { return _mm_and_si64(a, b); }
inline V Shr(V a, int n) { return _mm_srli_si64(a, n); }
inline V Shl(V a, int n) { return _mm_slli_si64(a, n); }
#define GCA_VECTOR_NAME CompressMmx
#define GCA_VECTOR_END _mm_empty()
#include "codec/sha512_vector.inc"
#undef GCA_VECTOR_END
#undef GCA_VECTOR_NAME
}  // namespace mmx
#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif

#endif

#if defined(__x86_64__) && defined(__GNUC__)
// The same source compiled for processors with the BMI1/BMI2 bit instructions, whose
// three-operand rotates and and-not save many register copies.
__attribute__((target("bmi,bmi2"))) void CompressBmi2(uint64_t state[8], const uint8_t* block,
                                                      size_t count) {
  CompressBlocks(state, block, count);
}

// Rounds as above; the message schedule two words at a time in 128-bit registers, with
// the vector rotates and three-way XOR of AVX-512VL. Only 128-bit registers are used.
#define GCA_SIMD_TARGET __attribute__((target("avx512f,avx512vl,bmi,bmi2")))

// (lo[1], hi[0]): the pair that starts in the middle of two stored pairs.
#define GCA_MID(lo, hi) _mm_alignr_epi8(hi, lo, 8)
// x0 holds w[t-16..t-15]; the result is w[t..t+1].
#define GCA_SCHEDULE_PAIR(x0, x1, x4, x5, x7, t)                                         \
  do {                                                                                \
    const __m128i w15 = GCA_MID(x0, x1);                                              \
    const __m128i s1 = _mm_ternarylogic_epi64(_mm_ror_epi64(x7, 19), _mm_ror_epi64(x7, 61), \
                                              _mm_srli_epi64(x7, 6), 0x96);            \
    const __m128i s0 = _mm_ternarylogic_epi64(_mm_ror_epi64(w15, 1), _mm_ror_epi64(w15, 8), \
                                              _mm_srli_epi64(w15, 7), 0x96);           \
    x0 = _mm_add_epi64(_mm_add_epi64(s1, GCA_MID(x4, x5)), _mm_add_epi64(s0, x0));    \
    StorePair(wk + (t), _mm_add_epi64(x0, _mm_loadu_si128(                            \
                                              reinterpret_cast<const __m128i*>(kRound + (t))))); \
  } while (0)
#define GCA_SCHEDULE_16(t)                                                              \
  do {                                                                                \
    GCA_SCHEDULE_PAIR(x0, x1, x4, x5, x7, (t) + 0);                                   \
    GCA_SCHEDULE_PAIR(x1, x2, x5, x6, x0, (t) + 2);                                   \
    GCA_SCHEDULE_PAIR(x2, x3, x6, x7, x1, (t) + 4);                                   \
    GCA_SCHEDULE_PAIR(x3, x4, x7, x0, x2, (t) + 6);                                   \
    GCA_SCHEDULE_PAIR(x4, x5, x0, x1, x3, (t) + 8);                                   \
    GCA_SCHEDULE_PAIR(x5, x6, x1, x2, x4, (t) + 10);                                  \
    GCA_SCHEDULE_PAIR(x6, x7, x2, x3, x5, (t) + 12);                                  \
    GCA_SCHEDULE_PAIR(x7, x0, x3, x4, x6, (t) + 14);                                  \
  } while (0)
#define GCA_WK(i) (wk[i])

// Two 64-bit stores: the rounds read the words one at a time.
GCA_SIMD_TARGET inline void StorePair(uint64_t* at, __m128i v) {
  _mm_storel_epi64(reinterpret_cast<__m128i*>(at), v);
  _mm_storeh_pd(reinterpret_cast<double*>(at + 1), _mm_castsi128_pd(v));
}

GCA_SIMD_TARGET void CompressAvx512(uint64_t state[8], const uint8_t* block, size_t count) {
  const __m128i swap = _mm_set_epi8(8, 9, 10, 11, 12, 13, 14, 15, 0, 1, 2, 3, 4, 5, 6, 7);
  for (; count != 0; --count, block += 128) {
    uint64_t wk[80];
    __m128i x[8];
    for (int j = 0; j < 8; ++j) {
      x[j] = _mm_shuffle_epi8(
          _mm_loadu_si128(reinterpret_cast<const __m128i*>(block + 16 * j)), swap);
      StorePair(wk + 2 * j, _mm_add_epi64(x[j], _mm_loadu_si128(
                                                   reinterpret_cast<const __m128i*>(kRound + 2 * j))));
    }
    __m128i x0 = x[0], x1 = x[1], x2 = x[2], x3 = x[3];
    __m128i x4 = x[4], x5 = x[5], x6 = x[6], x7 = x[7];
    uint64_t a = state[0], b = state[1], c = state[2], d = state[3];
    uint64_t e = state[4], f = state[5], g = state[6], h = state[7];
    uint64_t bc = b ^ c;
    GCA_SCHEDULE_16(16);
    GCA_SHA512_EIGHT(0, GCA_WK);
    GCA_SHA512_EIGHT(8, GCA_WK);
    GCA_SCHEDULE_16(32);
    GCA_SHA512_EIGHT(16, GCA_WK);
    GCA_SHA512_EIGHT(24, GCA_WK);
    GCA_SCHEDULE_16(48);
    GCA_SHA512_EIGHT(32, GCA_WK);
    GCA_SHA512_EIGHT(40, GCA_WK);
    GCA_SCHEDULE_16(64);
    GCA_SHA512_EIGHT(48, GCA_WK);
    GCA_SHA512_EIGHT(56, GCA_WK);
    GCA_SHA512_EIGHT(64, GCA_WK);
    GCA_SHA512_EIGHT(72, GCA_WK);
    state[0] += a; state[1] += b; state[2] += c; state[3] += d;
    state[4] += e; state[5] += f; state[6] += g; state[7] += h;
  }
}

#undef GCA_WK
#undef GCA_SCHEDULE_16
#undef GCA_SCHEDULE_PAIR
#undef GCA_MID

#endif

#undef GCA_SHA512_EIGHT
#undef GCA_SHA512_ROUND

struct CompressPath {
  const char* name;
  CompressFunction function;
  bool available;
  bool preferred;  // chosen by the digest when available (else only tests and benchmarks run it)
};

std::vector<CompressPath> MakePaths() {
  std::vector<CompressPath> paths;
  paths.push_back({"portable", CompressPortable, true, true});
#if defined(GCA_SHA512_X86_VECTORS)
  // With 64-bit general registers the portable path is faster than either.
  const bool vectors_win = sizeof(void*) == 4;
  const CpuFeatures& v = ProcessorFeatures();
  // The MMX path builds every 64-bit add from 32-bit lanes and a carry; measured, it is
  // slower than the portable path, so it is compiled and tested but not chosen.
  paths.push_back({"mmx", mmx::CompressMmx, v.Mmx, false});
  paths.push_back({"sse2", sse2::CompressSse2, v.Sse2, vectors_win});
#if defined(__i386__) && defined(__GNUC__)
  // The SSE2 rounds written out in registers beat the compiler's AVX-encoded ones.
  paths.push_back({"avx", avx::CompressAvx, v.Avx, false});
#else
  paths.push_back({"avx", avx::CompressAvx, v.Avx, vectors_win});
#endif
#endif
#if defined(__x86_64__) && defined(__GNUC__)
  const CpuFeatures& f = ProcessorFeatures();
  paths.push_back({"bmi2", CompressBmi2, f.Bmi2, true});
  paths.push_back({"avx512vl", CompressAvx512, f.Avx512Vl, true});
#endif
  return paths;
}

const std::vector<CompressPath>& Paths() {
  static const std::vector<CompressPath> paths = MakePaths();
  return paths;
}

CompressFunction SelectCompress() {
  CompressFunction best = CompressPortable;
  for (const CompressPath& p : Paths()) {
    if (p.available && p.preferred) best = p.function;  // listed from slowest to fastest
  }
  return best;
}

// The processor-specific paths are chosen once per process; every choice gives the same
// digest. Without the processor test's flag only the portable path runs.
void Compress(int32_t use_processor_paths, uint64_t state[8], const uint8_t* block,
              size_t count) {
  static const CompressFunction chosen = SelectCompress();
  (use_processor_paths ? chosen : CompressPortable)(state, block, count);
}

}  // namespace

namespace sha512_paths {

int Count() { return static_cast<int>(Paths().size()); }

const char* Name(int path) {
  return path >= 0 && path < Count() ? Paths()[size_t(path)].name : "";
}

bool Available(int path) { return path >= 0 && path < Count() && Paths()[size_t(path)].available; }

bool CompressWith(int path, uint64_t state[8], const uint8_t* blocks, size_t count) {
  if (!Available(path)) return false;
  Paths()[size_t(path)].function(state, blocks, count);
  return true;
}

}  // namespace sha512_paths

int HasMmx() { return ProcessorFeatures().Mmx ? 1 : 0; }

Sha512Digest::Sha512Digest() : use_mmx_(HasMmx()) { Reset(); }

Sha512Digest::~Sha512Digest() = default;

void Sha512Digest::Reset() {
  std::memcpy(state_, kInitialState, sizeof(state_));
  bit_count_[0] = 0;
  bit_count_[1] = 0;
  std::memset(block_, 0, sizeof(block_));
  fill_ = 0;
}

void Sha512Digest::Update(const void* data, uint32_t length) {
  if (length == 0) return;
  const uint64_t bits = uint64_t(length) * 8u;
  bit_count_[0] += bits;
  if (bit_count_[0] < bits) ++bit_count_[1];

  const uint8_t* p = static_cast<const uint8_t*>(data);
  if (fill_ != 0) {
    const uint32_t n = length < 128u - fill_ ? length : 128u - fill_;
    std::memcpy(block_ + fill_, p, n);
    fill_ += n;
    p += n;
    length -= n;
    if (fill_ < 128) return;
    Compress(use_mmx_, state_, block_, 1);
    fill_ = 0;
  }
  // Whole blocks straight from the caller's buffer: the same bytes, one copy fewer.
  if (length >= 128) {
    const uint32_t whole = length / 128;
    Compress(use_mmx_, state_, p, whole);
    p += 128 * size_t(whole);
    length -= 128 * whole;
  }
  if (length != 0) {
    std::memcpy(block_, p, length);
    fill_ = length;
  }
}

void Sha512Digest::Finish() {
  uint8_t tail[16];
  for (int i = 0; i < 8; ++i) {
    tail[i] = static_cast<uint8_t>(bit_count_[1] >> (56 - 8 * i));
    tail[8 + i] = static_cast<uint8_t>(bit_count_[0] >> (56 - 8 * i));
  }
  static const uint8_t kPad[128] = {0x80};
  Update(kPad, 1);
  const uint32_t zeros = fill_ <= 112 ? 112 - fill_ : 240 - fill_;
  if (zeros != 0) Update(kPad + 1, zeros);
  Update(tail, 16);
}

std::string Sha512Digest::HexText() const {
  char text[129];
  for (int i = 0; i < 8; ++i) {
    std::snprintf(text + 16 * i, 17, "%08x%08x", static_cast<unsigned>(state_[i] >> 32),
                  static_cast<unsigned>(state_[i] & 0xFFFFFFFFu));
  }
  return std::string(text, 128);
}

void Sha512Digest::RawWords(uint8_t out[64]) const {
  for (int i = 0; i < 8; ++i) {
    for (int j = 0; j < 8; ++j) out[8 * i + j] = static_cast<uint8_t>(state_[i] >> (8 * j));
  }
}

}  // namespace gca
