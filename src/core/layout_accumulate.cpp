#include "core/layout_accumulate.h"

#include "core/clip_constants.h"
#include "core/log.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <cstring>

namespace {

constexpr uint8_t kClassOnThreshold = clip::kClassOnThreshold;
constexpr uint8_t kSaturatedHigh = 250;    // a pixel with no channel at or above this
constexpr uint8_t kSaturatedLow = 5;       // and none at or below this is non-saturated
constexpr int kMaxDriftWithinClass = 32;   // sum of |channel differences| allowed in one class run

constexpr std::array<uint32_t, 256> make_crc32_byte_step()
{
    std::array<uint32_t, 256> step{};
    for (uint32_t k = 0; k < 256; ++k) {
        // zlib inverts the running value around each step; with T the plain reflected
        // table, ~(T[(~c ^ b) & 0xff] ^ (~c >> 8)) == T[(c ^ b) & 0xff ^ 0xff] ^ 0xff000000 ^ (c >> 8).
        uint32_t t = k ^ 0xff;
        for (int bit = 0; bit < 8; ++bit)
            t = t & 1 ? 0xedb88320u ^ (t >> 1) : t >> 1;
        step[k] = t ^ 0xff000000u;
    }
    return step;
}

uint64_t load_u64(const uint8_t* p)
{
    uint64_t word;
    std::memcpy(&word, p, sizeof word);
    return word;
}

// One frame of a pixel that is still a candidate; a pixel rejected here still has this
// frame folded into its history. (x, y) only serve the log lines.
template <bool kLog>
inline __attribute__((always_inline)) void accumulate_pixel(const LayoutPlanes& s, size_t i, const uint8_t* pixel,
                                                            int32_t x, int32_t y)
{
    const uint8_t r = pixel[0], g = pixel[1], b = pixel[2];
    uint8_t* min = s.channel_min + 4 * i;
    uint8_t* max = s.channel_max + 4 * i;
    // Ranges settle within a few frames; writing only on change keeps the lines clean.
    for (size_t c = 0; c < 3; ++c) {
        if (pixel[c] < min[c])
            min[c] = pixel[c];
        if (pixel[c] > max[c])
            max[c] = pixel[c];
    }
    const uint8_t cls = static_cast<uint8_t>((r > kClassOnThreshold) | (g > kClassOnThreshold) << 1 |
                                             (b > kClassOnThreshold) << 2);

    // All three channels strictly between the saturation bounds; & keeps it branch-free,
    // which matters on noisy pictures.
    const auto inside = [](uint8_t c) { return c > kSaturatedLow && c < kSaturatedHigh; };
    bool reject = false;
    if (static_cast<int>(inside(r)) & static_cast<int>(inside(g)) & static_cast<int>(inside(b))) {
        if constexpr (kLog)
            SKELV_LOG(skelv::LogLevel::Debug, "Marking %d,%d as non-saturated: color #%02x%02x%02x\n", x, y, r,
                      g, b);
        reject = true;
    }
    s.crc[i] = crc32_byte(s.crc[i], cls);
    if (cls != 0 && cls != 7)
        s.monochrome[i] = 0;

    // A new class restarts the run's reference; inside a run the colour may drift only so far.
    const uint32_t word = static_cast<uint32_t>(cls) << 24 | static_cast<uint32_t>(r) << 16 |
                          static_cast<uint32_t>(g) << 8 | b;
    const uint32_t ref = s.ref_color[i];
    if (ref >> 24 != cls) {
        s.ref_color[i] = word;
    } else {
        const int drift = std::abs(r - static_cast<int>(ref >> 16 & 0xff)) +
                          std::abs(g - static_cast<int>(ref >> 8 & 0xff)) + std::abs(b - static_cast<int>(ref & 0xff));
        if (drift > kMaxDriftWithinClass) {
            if constexpr (kLog)
                SKELV_LOG(skelv::LogLevel::Debug, "Marking %d,%d as slowly changing: old %08x, new %08x\n", x, y,
                          ref, word);
            reject = true;
        }
    }
    if (reject)
        s.candidate[i] = 0;
}

template <bool kLog>
void accumulate_row_scalar(LayoutPlanes s, size_t row_start, int32_t width, const uint8_t* row, int32_t y)
{
    const uint8_t* candidate = s.candidate + row_start;
    int32_t x = 0;
    // Rejected pixels cost one test per eight.
    for (; x + 8 <= width; x += 8) {
        if (load_u64(candidate + x) == 0)
            continue;
        for (int32_t k = x; k < x + 8; ++k)
            if (candidate[k])
                accumulate_pixel<kLog>(s, row_start + size_t(k), row + 4 * size_t(k), k, y);
    }
    for (; x < width; ++x)
        if (candidate[x])
            accumulate_pixel<kLog>(s, row_start + size_t(x), row + 4 * size_t(x), x, y);
}

template <bool kLog>
void accumulate_frame(const LayoutPlanes& s, int32_t width, int32_t height, const uint8_t* data, int32_t stride)
{
    for (int32_t y = 0; y < height; ++y)
        accumulate_row_scalar<kLog>(s, size_t(y) * size_t(width), width, data + ptrdiff_t(y) * stride, y);
}

// ---- AVX2, on x86-64 only ----

#if defined(__x86_64__)

#define SKELV_AVX2 __attribute__((target("avx2")))

// Byte k of entry m is 0xff when bit k of m is set: lane masks back to plane bytes.
constexpr std::array<uint64_t, 256> make_byte_masks()
{
    std::array<uint64_t, 256> masks{};
    for (size_t m = 0; m < 256; ++m)
        for (size_t k = 0; k < 8; ++k)
            if (m >> k & 1)
                masks[m] |= uint64_t{0xff} << (8 * k);
    return masks;
}
constexpr std::array<uint64_t, 256> kByteMasks = make_byte_masks();

// The CRC step table is linear apart from a constant: entry k is the xor of the entries
// of its low and high nibbles with that constant cancelled once, so four 8-entry
// permutations replace a gather.
struct NibbleTables {
    std::array<uint32_t, 16> low;  ///< kCrc32ByteStep[n]
    std::array<uint32_t, 16> high; ///< kCrc32ByteStep[n << 4] ^ kCrc32ByteStep[0]
};
constexpr NibbleTables make_nibble_tables()
{
    const std::array<uint32_t, 256> step = make_crc32_byte_step();
    NibbleTables t{};
    for (size_t n = 0; n < 16; ++n) {
        t.low[n] = step[n];
        t.high[n] = step[n << 4] ^ step[0];
    }
    return t;
}
constexpr NibbleTables kNibbleTables = make_nibble_tables();

// Vector constants, made once per frame and read as memory operands.
struct Avx2Constants {
    __m256i alpha;          ///< byte 3 of every lane
    __m256i low_bound;      ///< kSaturatedLow + 1 in every byte
    __m256i span;           ///< kSaturatedHigh - kSaturatedLow - 2 in every byte
    __m256i class_on;       ///< kClassOnThreshold + 1 in every byte
    __m256i class_bits;     ///< 1, 2, 4 in bytes 0, 1, 2 of every lane
    __m256i ones8;          ///< 1 in every byte
    __m256i ones16;         ///< 1 in every 16-bit word
    __m256i max_drift;      ///< kMaxDriftWithinClass in every lane
    __m256i white;          ///< class 7 in every lane
    __m256i to_bgr;         ///< byte shuffle RGBx -> B, G, R, 0
    __m256i crc_low[2];     ///< kNibbleTables.low, entries 0-7 and 8-15
    __m256i crc_high[2];    ///< kNibbleTables.high, entries 0-7 and 8-15
};

SKELV_AVX2 Avx2Constants make_avx2_constants()
{
    const auto* low = reinterpret_cast<const __m256i*>(kNibbleTables.low.data());
    const auto* high = reinterpret_cast<const __m256i*>(kNibbleTables.high.data());
    return {
        .alpha = _mm256_set1_epi32(int32_t(0xff000000u)),
        .low_bound = _mm256_set1_epi8(kSaturatedLow + 1),
        .span = _mm256_set1_epi8(char(kSaturatedHigh - kSaturatedLow - 2)),
        .class_on = _mm256_set1_epi8(char(kClassOnThreshold + 1)),
        .class_bits = _mm256_set1_epi32(0x00040201),
        .ones8 = _mm256_set1_epi8(1),
        .ones16 = _mm256_set1_epi16(1),
        .max_drift = _mm256_set1_epi32(kMaxDriftWithinClass),
        .white = _mm256_set1_epi32(7),
        .to_bgr = _mm256_setr_epi8(2, 1, 0, -1, 6, 5, 4, -1, 10, 9, 8, -1, 14, 13, 12, -1, //
                                   2, 1, 0, -1, 6, 5, 4, -1, 10, 9, 8, -1, 14, 13, 12, -1),
        .crc_low = {_mm256_loadu_si256(low), _mm256_loadu_si256(low + 1)},
        .crc_high = {_mm256_loadu_si256(high), _mm256_loadu_si256(high + 1)},
    };
}

SKELV_AVX2 inline int lane_bits(__m256i lanes)
{
    return _mm256_movemask_ps(_mm256_castsi256_ps(lanes));
}

SKELV_AVX2 inline bool differs(__m256i a, __m256i b)
{
    const __m256i x = _mm256_xor_si256(a, b);
    return !_mm256_testz_si256(x, x);
}

SKELV_AVX2 inline __m256i select_lanes(__m256i if_clear, __m256i if_set, __m256i mask)
{
    return _mm256_blendv_epi8(if_clear, if_set, mask);
}

// Sum of the four unsigned bytes of each 32-bit lane.
SKELV_AVX2 inline __m256i horizontal_byte_sum(const Avx2Constants& k, __m256i bytes)
{
    return _mm256_madd_epi16(_mm256_maddubs_epi16(bytes, k.ones8), k.ones16);
}

// halves[index & 15] per lane: vpermd reads the low three bits of the index, and
// blendv takes the upper half where bit 31 of `bit3_at_top` is set.
SKELV_AVX2 inline __m256i lookup16(const __m256i halves[2], __m256i index, __m256i bit3_at_top)
{
    return _mm256_castps_si256(_mm256_blendv_ps(_mm256_castsi256_ps(_mm256_permutevar8x32_epi32(halves[0], index)),
                                                _mm256_castsi256_ps(_mm256_permutevar8x32_epi32(halves[1], index)),
                                                _mm256_castsi256_ps(bit3_at_top)));
}

// crc32_byte for eight lanes.
SKELV_AVX2 inline __m256i crc32_byte8(const Avx2Constants& k, __m256i crc, __m256i byte)
{
    const __m256i index = _mm256_xor_si256(crc, byte);
    const __m256i low = lookup16(k.crc_low, index, _mm256_slli_epi32(index, 28));
    const __m256i high = lookup16(k.crc_high, _mm256_srli_epi32(index, 4), _mm256_slli_epi32(index, 24));
    return _mm256_xor_si256(_mm256_xor_si256(low, high), _mm256_srli_epi32(crc, 8));
}

// Eight pixels at plane index i, live where `candidates` has a non-zero byte. Every lane
// is computed; lanes of rejected pixels keep their state through the selects, and a
// plane that did not change is not written, which spares memory bandwidth.
SKELV_AVX2 __attribute__((always_inline)) inline void accumulate8(const Avx2Constants& k, LayoutPlanes s, size_t i,
                                                                   const uint8_t* pixels, uint64_t candidates)
{
    const __m256i px = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(pixels));
    const __m256i live =
        _mm256_cmpgt_epi32(_mm256_cvtepu8_epi32(_mm_cvtsi64_si128(int64_t(candidates))), _mm256_setzero_si256());

    // Channel ranges; the alpha byte is forced so that byte 3 of the planes stays put.
    auto* min_at = reinterpret_cast<__m256i*>(s.channel_min + 4 * i);
    auto* max_at = reinterpret_cast<__m256i*>(s.channel_max + 4 * i);
    const __m256i old_min = _mm256_loadu_si256(min_at);
    const __m256i old_max = _mm256_loadu_si256(max_at);
    const __m256i new_min = select_lanes(old_min, _mm256_min_epu8(old_min, _mm256_or_si256(px, k.alpha)), live);
    const __m256i new_max = select_lanes(old_max, _mm256_max_epu8(old_max, _mm256_andnot_si256(k.alpha, px)), live);
    if (differs(new_min, old_min))
        _mm256_storeu_si256(min_at, new_min);
    if (differs(new_max, old_max))
        _mm256_storeu_si256(max_at, new_max);

    // Non-saturated: every colour byte c has kSaturatedLow < c < kSaturatedHigh, that is
    // c - (kSaturatedLow + 1) <= kSaturatedHigh - kSaturatedLow - 2 with wrap-around.
    const __m256i shifted = _mm256_sub_epi8(px, k.low_bound);
    const __m256i in_range = _mm256_cmpeq_epi8(_mm256_min_epu8(shifted, k.span), shifted);
    const __m256i non_saturated = _mm256_cmpeq_epi32(_mm256_or_si256(in_range, k.alpha), _mm256_cmpeq_epi32(px, px));

    // Class: bits 1, 2, 4 in bytes 0, 1, 2 of each lane, summed into the lane.
    const __m256i on = _mm256_cmpeq_epi8(_mm256_max_epu8(px, k.class_on), px);
    const __m256i cls = horizontal_byte_sum(k, _mm256_and_si256(on, k.class_bits));

    auto* crc_at = reinterpret_cast<__m256i*>(s.crc + i);
    const __m256i old_crc = _mm256_loadu_si256(crc_at);
    _mm256_storeu_si256(crc_at, select_lanes(old_crc, crc32_byte8(k, old_crc, cls), live));

    const __m256i black_or_white =
        _mm256_or_si256(_mm256_cmpeq_epi32(cls, _mm256_setzero_si256()), _mm256_cmpeq_epi32(cls, k.white));
    if (const int coloured = lane_bits(_mm256_andnot_si256(black_or_white, live))) {
        const uint64_t kept = load_u64(s.monochrome + i) & ~kByteMasks[size_t(coloured)];
        std::memcpy(s.monochrome + i, &kept, sizeof kept);
    }

    // Reference word: B, G, R in bytes 0, 1, 2 and the class in byte 3.
    const __m256i word = _mm256_or_si256(_mm256_shuffle_epi8(px, k.to_bgr), _mm256_slli_epi32(cls, 24));
    auto* ref_at = reinterpret_cast<__m256i*>(s.ref_color + i);
    const __m256i old_ref = _mm256_loadu_si256(ref_at);
    const __m256i same_class = _mm256_cmpeq_epi32(_mm256_srli_epi32(old_ref, 24), cls);
    // |word - old_ref| per byte, summed; the class bytes are equal where it matters.
    const __m256i diff = _mm256_or_si256(_mm256_subs_epu8(word, old_ref), _mm256_subs_epu8(old_ref, word));
    const __m256i drifted = _mm256_and_si256(same_class, _mm256_cmpgt_epi32(horizontal_byte_sum(k, diff), k.max_drift));
    const __m256i restart = _mm256_andnot_si256(same_class, live);
    if (lane_bits(restart))
        _mm256_storeu_si256(ref_at, select_lanes(old_ref, word, restart));

    if (const int rejected = lane_bits(_mm256_and_si256(_mm256_or_si256(non_saturated, drifted), live))) {
        const uint64_t kept = candidates & ~kByteMasks[size_t(rejected)];
        std::memcpy(s.candidate + i, &kept, sizeof kept);
    }
}

SKELV_AVX2 void accumulate_row_avx2(const Avx2Constants& k, LayoutPlanes s, size_t row_start, int32_t width,
                                    const uint8_t* row)
{
    const uint8_t* candidate = s.candidate + row_start;
    int32_t x = 0;
    // Rejected pixels cost one test per 32.
    for (; x + 32 <= width; x += 32) {
        const __m256i block = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(candidate + x));
        if (_mm256_testz_si256(block, block))
            continue;
        for (int32_t g = x; g < x + 32; g += 8)
            if (const uint64_t live = load_u64(candidate + g))
                accumulate8(k, s, row_start + size_t(g), row + 4 * size_t(g), live);
    }
    for (; x + 8 <= width; x += 8)
        if (const uint64_t live = load_u64(candidate + x))
            accumulate8(k, s, row_start + size_t(x), row + 4 * size_t(x), live);
    for (; x < width; ++x)
        if (candidate[x])
            accumulate_pixel<false>(s, row_start + size_t(x), row + 4 * size_t(x), x, 0);
}

#endif

} // namespace

const std::array<uint32_t, 256> kCrc32ByteStep = make_crc32_byte_step();

void accumulate_frame_scalar(const LayoutPlanes& planes, int32_t width, int32_t height, const uint8_t* data,
                             int32_t stride, bool log_rejections)
{
    if (log_rejections)
        accumulate_frame<true>(planes, width, height, data, stride);
    else
        accumulate_frame<false>(planes, width, height, data, stride);
}

#if defined(__x86_64__)

bool accumulate_avx2_available()
{
    static const bool available = __builtin_cpu_supports("avx2");
    return available;
}

SKELV_AVX2 void accumulate_frame_avx2(const LayoutPlanes& planes, int32_t width, int32_t height, const uint8_t* data,
                                      int32_t stride)
{
    Avx2Constants constants = make_avx2_constants();
    // Hide the values from the optimiser, which would otherwise rebuild each constant
    // from an immediate inside the loop instead of reading it from here.
    asm("" : "+m"(constants));
    for (int32_t y = 0; y < height; ++y)
        accumulate_row_avx2(constants, planes, size_t(y) * size_t(width), width, data + ptrdiff_t(y) * stride);
}

#else

bool accumulate_avx2_available()
{
    return false;
}

// Never called where the CPU has no AVX2; the plain kernel gives the same planes.
void accumulate_frame_avx2(const LayoutPlanes& planes, int32_t width, int32_t height, const uint8_t* data,
                           int32_t stride)
{
    accumulate_frame_scalar(planes, width, height, data, stride, false);
}

#endif
