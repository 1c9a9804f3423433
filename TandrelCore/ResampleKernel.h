// The route's resampling kernel and its filter tables: one chunk of polyphase windowed-sinc output from
// a route's history. The scalar form is the portable path and the reference; vectorised forms, chosen
// from what the processor offers at run time, give bit-identical samples. Called by the route's pull.
#pragma once

#include <cstdint>

namespace tdcore {

// Phases of the filter table (it holds kPhases + 1 rows) and the most taps a route uses.
constexpr uint32_t kPhases = 256;
constexpr uint32_t kMaxTaps = 64;
// Frames of slack past a route's history in the vector kernels' per-channel copy: their windowed loads
// may read (never use) that far beyond the last frame a chunk needs.
constexpr uint32_t kPlanarSlack = 64;

enum class ResampleIsa : uint8_t { Scalar, Avx2 };
constexpr ResampleIsa kResampleIsas[] = {ResampleIsa::Scalar, ResampleIsa::Avx2};

// One chunk: output frame i is read at history position t = position + i × ratio.
struct ResampleJob {
    const float* history = nullptr; // interleaved source frames
    uint32_t historyFrames = 0;     // frames of history the chunk may read
    float* planar = nullptr;        // vector kernels' scratch: channels × planarStride floats
    uint32_t planarStride = 0;      // at least historyFrames + kPlanarSlack
    const float* table = nullptr;   // kPhases + 1 rows of taps coefficients
    uint32_t halfWidth = 0;
    uint32_t taps = 0;
    uint32_t channels = 0;
    double position = 0;
    double ratio = 0;
    uint32_t frames = 0;
    // Where the samples go: the interleaved output (frames × channels) or, when mix is set, straight into
    // the interleaved mix of mixChannels channels: mix[i][c] += sample × gains[c] for every source channel
    // c whose gain is not 0 (a channel matrix that maps each source channel to the same mix channel).
    float* output = nullptr;
    float* mix = nullptr;
    uint32_t mixChannels = 0;
    const float* gains = nullptr;
};

using ResampleKernel = void (*)(const ResampleJob& job);

// The reference: output frames first ... frames − 1, each sample summed in tap order in float.
// Real-time: no locks, no allocation.
void resampleScalar(const ResampleJob& job, uint32_t first);

// The kernel for an instruction set, or nullptr when this processor or build lacks it.
ResampleKernel resampleKernel(ResampleIsa isa);
// The fastest kernel this processor runs.
ResampleIsa bestResampleIsa();
const char* resampleIsaName(ResampleIsa isa);

// Fills kPhases + 1 rows of a Blackman-windowed sinc; row kPhases is row 0 shifted by one frame.
void fillFilterTable(float* table, uint32_t halfWidth, uint32_t taps, double cutoff);
// A read-only table shared by every route with the same half width and cutoff; nullptr when memory runs
// out. Not real-time: it takes a lock.
const float* acquireFilterTable(uint32_t halfWidth, double cutoff);
void releaseFilterTable(const float* table);
// Tables currently shared, for tests.
uint32_t liveFilterTables();

} // namespace tdcore
