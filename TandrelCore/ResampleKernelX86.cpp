// The AVX2 form of the resampling kernel. Only its own functions are compiled for AVX2 (a target
// attribute, no build flag), and the route calls them only on a processor that has it.
//
// Output frames are computed eight at a time, one per lane, with the reference's arithmetic: positions
// and phases in double, coefficients interpolated in float, and each lane's sum taken in tap order. The
// coefficient rows of eight frames are transposed so that tap k of every lane sits in one register, and
// the history is first copied into one run per channel, so that a lane's source samples come from a
// window load and a lane permutation rather than a gather. A chunk's tail of fewer than eight frames
// goes to the scalar reference. No fused multiply-add is ever used: the file is built without
// contraction and the target does not include FMA.
#if defined(__x86_64__)

#include <immintrin.h>

#include <algorithm>
#include <cstddef>
#include <cstring>

#include "TandrelCore/ResampleKernel.h"

#define TD_AVX2 __attribute__((target("avx2")))
#define TD_AVX2_INLINE __attribute__((target("avx2"), always_inline)) inline

namespace tdcore {
namespace {

constexpr uint32_t kLanes = 8;

// How the lanes' source samples are fetched, by how far the block's last lane reads past its first.
enum class Window { Narrow, Wide, Gather };

TD_AVX2 void deinterleave(const ResampleJob& job) {
    const uint32_t channels = job.channels;
    const uint32_t frames = job.historyFrames;
    const size_t stride = job.planarStride;
    const float* in = job.history;
    if (channels == 1) {
        std::memcpy(job.planar, in, sizeof(float) * frames);
        return;
    }
    if (channels == 2) {
        float* left = job.planar;
        float* right = job.planar + stride;
        uint32_t f = 0;
        for (; f + 8 <= frames; f += 8) {
            const __m256 a = _mm256_loadu_ps(in + 2 * f);
            const __m256 b = _mm256_loadu_ps(in + 2 * f + 8);
            const __m256 l = _mm256_shuffle_ps(a, b, _MM_SHUFFLE(2, 0, 2, 0));
            const __m256 r = _mm256_shuffle_ps(a, b, _MM_SHUFFLE(3, 1, 3, 1));
            _mm256_storeu_ps(left + f, _mm256_castpd_ps(_mm256_permute4x64_pd(_mm256_castps_pd(l),
                                                                              _MM_SHUFFLE(3, 1, 2, 0))));
            _mm256_storeu_ps(right + f, _mm256_castpd_ps(_mm256_permute4x64_pd(_mm256_castps_pd(r),
                                                                               _MM_SHUFFLE(3, 1, 2, 0))));
        }
        for (; f < frames; ++f) {
            left[f] = in[2 * f];
            right[f] = in[2 * f + 1];
        }
        return;
    }
    for (uint32_t c = 0; c < channels; ++c) {
        float* run = job.planar + c * stride;
        for (uint32_t f = 0; f < frames; ++f) {
            run[f] = in[static_cast<size_t>(f) * channels + c];
        }
    }
}

TD_AVX2_INLINE void transpose8(__m256 (&r)[8]) {
    const __m256 t0 = _mm256_unpacklo_ps(r[0], r[1]);
    const __m256 t1 = _mm256_unpackhi_ps(r[0], r[1]);
    const __m256 t2 = _mm256_unpacklo_ps(r[2], r[3]);
    const __m256 t3 = _mm256_unpackhi_ps(r[2], r[3]);
    const __m256 t4 = _mm256_unpacklo_ps(r[4], r[5]);
    const __m256 t5 = _mm256_unpackhi_ps(r[4], r[5]);
    const __m256 t6 = _mm256_unpacklo_ps(r[6], r[7]);
    const __m256 t7 = _mm256_unpackhi_ps(r[6], r[7]);
    const __m256 s0 = _mm256_shuffle_ps(t0, t2, _MM_SHUFFLE(1, 0, 1, 0));
    const __m256 s1 = _mm256_shuffle_ps(t0, t2, _MM_SHUFFLE(3, 2, 3, 2));
    const __m256 s2 = _mm256_shuffle_ps(t1, t3, _MM_SHUFFLE(1, 0, 1, 0));
    const __m256 s3 = _mm256_shuffle_ps(t1, t3, _MM_SHUFFLE(3, 2, 3, 2));
    const __m256 s4 = _mm256_shuffle_ps(t4, t6, _MM_SHUFFLE(1, 0, 1, 0));
    const __m256 s5 = _mm256_shuffle_ps(t4, t6, _MM_SHUFFLE(3, 2, 3, 2));
    const __m256 s6 = _mm256_shuffle_ps(t5, t7, _MM_SHUFFLE(1, 0, 1, 0));
    const __m256 s7 = _mm256_shuffle_ps(t5, t7, _MM_SHUFFLE(3, 2, 3, 2));
    r[0] = _mm256_permute2f128_ps(s0, s4, 0x20);
    r[1] = _mm256_permute2f128_ps(s1, s5, 0x20);
    r[2] = _mm256_permute2f128_ps(s2, s6, 0x20);
    r[3] = _mm256_permute2f128_ps(s3, s7, 0x20);
    r[4] = _mm256_permute2f128_ps(s0, s4, 0x31);
    r[5] = _mm256_permute2f128_ps(s1, s5, 0x31);
    r[6] = _mm256_permute2f128_ps(s2, s6, 0x31);
    r[7] = _mm256_permute2f128_ps(s3, s7, 0x31);
}

// Up to two halves of eight lanes: their read positions, and their coefficients with tap k of half h,
// lane l at [k × 16 + h × 8 + l]. Two halves give the tap sums four independent chains to overlap.
constexpr uint32_t kHalves = 2;
struct Block {
    alignas(32) int32_t whole[kHalves * kLanes];
    alignas(32) float coefficients[kMaxTaps * kHalves * kLanes];
};

// Positions, phases and interpolated coefficients of output frames first ... first + 7 into a half.
TD_AVX2 void prepareHalf(const ResampleJob& job, uint32_t first, Block& block, uint32_t half) {
    alignas(32) int32_t phase[kLanes];
    alignas(32) float blend[kLanes];
    const __m256d ratio = _mm256_set1_pd(job.ratio);
    const __m256d position = _mm256_set1_pd(job.position);
    const __m256d phases = _mm256_set1_pd(static_cast<double>(kPhases));
    const __m128i lastPhase = _mm_set1_epi32(static_cast<int32_t>(kPhases - 1));
    int32_t* whole = block.whole + half * kLanes;
    for (uint32_t quarter = 0; quarter < kLanes; quarter += 4) {
        const __m128i index =
            _mm_add_epi32(_mm_set1_epi32(static_cast<int32_t>(first + quarter)), _mm_setr_epi32(0, 1, 2, 3));
        const __m256d t = _mm256_add_pd(position, _mm256_mul_pd(_mm256_cvtepi32_pd(index), ratio));
        const __m256d w = _mm256_round_pd(t, _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC);
        const __m256d scaled = _mm256_mul_pd(_mm256_sub_pd(t, w), phases);
        const __m128i p = _mm_min_epi32(_mm256_cvttpd_epi32(scaled), lastPhase);
        _mm_store_si128(reinterpret_cast<__m128i*>(phase + quarter), p);
        _mm_store_ps(blend + quarter, _mm256_cvtpd_ps(_mm256_sub_pd(scaled, _mm256_cvtepi32_pd(p))));
        _mm_store_si128(reinterpret_cast<__m128i*>(whole + quarter), _mm256_cvttpd_epi32(w));
    }
    const uint32_t taps = job.taps;
    float* coefficients = block.coefficients + half * kLanes;
    for (uint32_t group = 0; group < taps; group += kLanes) {
        __m256 rows[kLanes];
#pragma GCC unroll 8
        for (uint32_t l = 0; l < kLanes; ++l) {
            const float* lower = job.table + static_cast<size_t>(phase[l]) * taps + group;
            const __m256 lo = _mm256_loadu_ps(lower);
            const __m256 up = _mm256_loadu_ps(lower + taps);
            rows[l] = _mm256_add_ps(lo, _mm256_mul_ps(_mm256_sub_ps(up, lo), _mm256_set1_ps(blend[l])));
        }
        transpose8(rows);
#pragma GCC unroll 8
        for (uint32_t m = 0; m < kLanes; ++m) {
            _mm256_store_ps(coefficients + (group + m) * kHalves * kLanes, rows[m]);
        }
    }
}

template <Window W>
TD_AVX2_INLINE __m256 fetch(const float* at, __m256i offsets, __m256 upperHalf) {
    if constexpr (W == Window::Narrow) {
        return _mm256_permutevar8x32_ps(_mm256_loadu_ps(at), offsets);
    } else if constexpr (W == Window::Wide) {
        const __m256 lo = _mm256_permutevar8x32_ps(_mm256_loadu_ps(at), offsets);
        const __m256 hi = _mm256_permutevar8x32_ps(_mm256_loadu_ps(at + kLanes), offsets);
        return _mm256_blendv_ps(lo, hi, upperHalf);
    } else {
        return _mm256_i32gather_ps(at, offsets, 4);
    }
}

// Where a half's lanes read: per channel run, the window start, and each lane's offset from it.
struct Lanes {
    size_t start;
    __m256i offsets;
    __m256 upperHalf; // lanes whose offset reaches into the window's second eight frames
};

// Tap-order sums of H halves × N channel runs (runs[h][n] already at the halves' window starts).
template <Window W, uint32_t H, uint32_t N>
TD_AVX2_INLINE void accumulate(const float* const (&runs)[kHalves][2], const Block& block, uint32_t taps,
                               const Lanes (&lanes)[kHalves], __m256 (&sums)[kHalves][2]) {
    __m256 s00 = _mm256_setzero_ps(), s01 = _mm256_setzero_ps();
    __m256 s10 = _mm256_setzero_ps(), s11 = _mm256_setzero_ps();
    for (uint32_t k = 0; k < taps; ++k) {
        const float* c = block.coefficients + k * kHalves * kLanes;
        const __m256 c0 = _mm256_load_ps(c);
        s00 = _mm256_add_ps(
            s00, _mm256_mul_ps(c0, fetch<W>(runs[0][0] + k, lanes[0].offsets, lanes[0].upperHalf)));
        if constexpr (N == 2) {
            s01 = _mm256_add_ps(
                s01, _mm256_mul_ps(c0, fetch<W>(runs[0][1] + k, lanes[0].offsets, lanes[0].upperHalf)));
        }
        if constexpr (H == 2) {
            const __m256 c1 = _mm256_load_ps(c + kLanes);
            s10 = _mm256_add_ps(
                s10, _mm256_mul_ps(c1, fetch<W>(runs[1][0] + k, lanes[1].offsets, lanes[1].upperHalf)));
            if constexpr (N == 2) {
                s11 = _mm256_add_ps(
                    s11, _mm256_mul_ps(c1, fetch<W>(runs[1][1] + k, lanes[1].offsets, lanes[1].upperHalf)));
            }
        }
    }
    sums[0][0] = s00;
    sums[0][1] = s01;
    sums[1][0] = s10;
    sums[1][1] = s11;
}

TD_AVX2_INLINE void interleavePair(__m256 a, __m256 b, __m256& first, __m256& second) {
    const __m256 lo = _mm256_unpacklo_ps(a, b);
    const __m256 hi = _mm256_unpackhi_ps(a, b);
    first = _mm256_permute2f128_ps(lo, hi, 0x20);
    second = _mm256_permute2f128_ps(lo, hi, 0x31);
}

// Delivers channels c (and c + 1 when N is 2) of output frames first ... first + 7.
template <uint32_t N>
TD_AVX2_INLINE void emit(const ResampleJob& job, uint32_t first, uint32_t c, const __m256 (&sums)[2]) {
    alignas(32) float lanes[kLanes];
    if (job.mix == nullptr) {
        const uint32_t channels = job.channels;
        if (N == 2 && channels == 2) {
            __m256 a, b;
            interleavePair(sums[0], sums[1], a, b);
            float* out = job.output + static_cast<size_t>(first) * 2;
            _mm256_storeu_ps(out, a);
            _mm256_storeu_ps(out + kLanes, b);
            return;
        }
        for (uint32_t n = 0; n < N; ++n) {
            _mm256_store_ps(lanes, sums[n]);
            float* out = job.output + static_cast<size_t>(first) * channels + c + n;
            for (uint32_t l = 0; l < kLanes; ++l) {
                out[static_cast<size_t>(l) * channels] = lanes[l];
            }
        }
        return;
    }
    const uint32_t mixChannels = job.mixChannels;
    if (N == 2 && c == 0 && mixChannels == 2 && job.gains[0] != 0.0f && job.gains[1] != 0.0f) {
        __m256 a, b;
        interleavePair(_mm256_mul_ps(sums[0], _mm256_set1_ps(job.gains[0])),
                       _mm256_mul_ps(sums[1], _mm256_set1_ps(job.gains[1])), a, b);
        float* mix = job.mix + static_cast<size_t>(first) * 2;
        _mm256_storeu_ps(mix, _mm256_add_ps(_mm256_loadu_ps(mix), a));
        _mm256_storeu_ps(mix + kLanes, _mm256_add_ps(_mm256_loadu_ps(mix + kLanes), b));
        return;
    }
    for (uint32_t n = 0; n < N; ++n) {
        const float gain = job.gains[c + n];
        if (gain == 0.0f) {
            continue;
        }
        _mm256_store_ps(lanes, _mm256_mul_ps(sums[n], _mm256_set1_ps(gain)));
        float* mix = job.mix + static_cast<size_t>(first) * mixChannels + c + n;
        for (uint32_t l = 0; l < kLanes; ++l) {
            mix[static_cast<size_t>(l) * mixChannels] += lanes[l];
        }
    }
}

template <Window W, uint32_t H>
TD_AVX2 void renderBlock(const ResampleJob& job, uint32_t first, const Block& block,
                         const Lanes (&lanes)[kHalves]) {
    const size_t stride = job.planarStride;
    __m256 sums[kHalves][2];
    uint32_t c = 0;
    for (; c + 2 <= job.channels; c += 2) {
        const float* const runs[kHalves][2] = {
            {job.planar + c * stride + lanes[0].start, job.planar + (c + 1) * stride + lanes[0].start},
            {job.planar + c * stride + lanes[1].start, job.planar + (c + 1) * stride + lanes[1].start}};
        accumulate<W, H, 2>(runs, block, job.taps, lanes, sums);
        for (uint32_t h = 0; h < H; ++h) {
            emit<2>(job, first + h * kLanes, c, sums[h]);
        }
    }
    if (c < job.channels) {
        const float* const runs[kHalves][2] = {{job.planar + c * stride + lanes[0].start, nullptr},
                                               {job.planar + c * stride + lanes[1].start, nullptr}};
        accumulate<W, H, 1>(runs, block, job.taps, lanes, sums);
        for (uint32_t h = 0; h < H; ++h) {
            emit<1>(job, first + h * kLanes, c, sums[h]);
        }
    }
}

// Output frames first ... first + 8H − 1: the halves' coefficients, then their tap sums, with the
// cheapest window that serves every lane.
template <uint32_t H>
TD_AVX2 void resampleBlock(const ResampleJob& job, uint32_t first, Block& block) {
    Lanes lanes[kHalves];
    int32_t spread = 0;
    for (uint32_t h = 0; h < kHalves; ++h) {
        if (h < H) {
            prepareHalf(job, first + h * kLanes, block, h);
        }
        const int32_t* whole = block.whole + (h < H ? h : 0) * kLanes;
        const __m256i offsets = _mm256_sub_epi32(_mm256_load_si256(reinterpret_cast<const __m256i*>(whole)),
                                                 _mm256_set1_epi32(whole[0]));
        lanes[h] = {static_cast<size_t>(whole[0]) + 1 - job.halfWidth, offsets,
                    _mm256_castsi256_ps(
                        _mm256_cmpgt_epi32(offsets, _mm256_set1_epi32(static_cast<int32_t>(kLanes - 1))))};
        spread = std::max(spread, whole[kLanes - 1] - whole[0]);
    }
    if (spread < static_cast<int32_t>(kLanes)) {
        renderBlock<Window::Narrow, H>(job, first, block, lanes);
    } else if (spread < static_cast<int32_t>(2 * kLanes)) {
        renderBlock<Window::Wide, H>(job, first, block, lanes);
    } else {
        renderBlock<Window::Gather, H>(job, first, block, lanes);
    }
}

} // namespace

TD_AVX2 void resampleAvx2(const ResampleJob& job) {
    const uint32_t lanes = job.frames / kLanes * kLanes;
    if (lanes == 0) {
        resampleScalar(job, 0);
        return;
    }
    deinterleave(job);
    Block block;
    uint32_t first = 0;
    for (; first + kHalves * kLanes <= lanes; first += kHalves * kLanes) {
        resampleBlock<2>(job, first, block);
    }
    if (first < lanes) {
        resampleBlock<1>(job, first, block);
    }
    resampleScalar(job, lanes);
}

} // namespace tdcore

#endif
