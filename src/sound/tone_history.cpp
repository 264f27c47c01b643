#include "sound/tone_history.h"

#include <cmath>

namespace skelv {

namespace robust {

namespace {

// Decoders deliver samples in [−1, 1]; anything far outside, or not a number, is a fault.
constexpr float kLargestSample = 1e6f;
// The block phasor advances by multiplication and is set exactly again this often (blocks).
constexpr int64_t kPhasorResync = 1024;

} // namespace

double tone_phase(const BeepGeometry& geometry, int tone, int64_t n)
{
    const int64_t rate = geometry.rate;
    const int64_t wrapped = ((n % rate) + rate) % rate;
    const int64_t turns = (int64_t(kToneHz[size_t(tone)]) * wrapped) % rate;
    return 2.0 * M_PI * double(turns) / double(rate);
}

ToneHistory::ToneHistory(const BeepGeometry& geometry)
    : geometry_(geometry),
      blocks_(size_t(geometry.ring_blocks)),
      raw_(size_t(geometry.ring_blocks) * size_t(geometry.block))
{
    for (int tone = 0; tone < 2; ++tone)
        for (int k = 0; k < geometry.block; ++k) {
            const double phase = tone_phase(geometry, tone, k);
            cosine_[size_t(tone)].push_back(float(std::cos(phase)));
            sine_[size_t(tone)].push_back(float(std::sin(phase)));
        }
    for (int tone = 0; tone < 2; ++tone) {
        block_phasor_[size_t(tone)] = 1.0;
        block_step_[size_t(tone)] = std::polar(1.0, -tone_phase(geometry, tone, geometry.block));
    }
}

size_t ToneHistory::add(const float* samples, size_t count, size_t stride)
{
    const size_t taken = std::min(count, size_t(geometry_.block - fill_));
    float* raw = raw_.data() + size_t(closed_ % geometry_.ring_blocks) * size_t(geometry_.block);
    const float* low_cos = cosine_[0].data();
    const float* low_sin = sine_[0].data();
    const float* high_cos = cosine_[1].data();
    const float* high_sin = sine_[1].data();
    for (size_t i = 0; i < taken; ++i) {
        float x = samples[i * stride];
        if (!(std::fabs(x) <= kLargestSample))
            x = 0;
        const size_t k = size_t(fill_) + i;
        raw[k] = x;
        sum_cos_[0] += x * low_cos[k];
        sum_sin_[0] += x * low_sin[k];
        sum_cos_[1] += x * high_cos[k];
        sum_sin_[1] += x * high_sin[k];
        sum_energy_ += x * x;
    }
    fill_ += int(taken);
    return taken;
}

// Within the block the sums use the phase from the block's first sample, in single precision;
// the block's own phase turns them to the absolute phase in double.
int64_t ToneHistory::close_block()
{
    const int64_t index = closed_;
    ToneBlock& stored = blocks_[size_t(index % geometry_.ring_blocks)];
    for (size_t t = 0; t < 2; ++t) {
        stored.tone[t] = Complex(sum_cos_[t], -sum_sin_[t]) * block_phasor_[t];
        if ((index + 1) % kPhasorResync == 0)
            block_phasor_[t] = std::polar(1.0, -tone_phase(geometry_, int(t), (index + 1) * geometry_.block));
        else
            block_phasor_[t] *= block_step_[t];
    }
    stored.energy = sum_energy_;
    stored.level = 0;
    sum_cos_ = {};
    sum_sin_ = {};
    sum_energy_ = 0;
    fill_ = 0;
    closed_ = index + 1;
    return index;
}

const ToneBlock& ToneHistory::block(int64_t index) const
{
    if (index < 0 || index >= closed_ || index < closed_ - geometry_.ring_blocks)
        return silent_;
    return blocks_[size_t(index % geometry_.ring_blocks)];
}

void ToneHistory::set_level(int64_t index, double level)
{
    if (index >= 0 && index < closed_ && index >= closed_ - geometry_.ring_blocks)
        blocks_[size_t(index % geometry_.ring_blocks)].level = level;
}

float ToneHistory::sample(int64_t n) const
{
    const int64_t capacity = int64_t(raw_.size());
    if (n < 0 || n >= samples() || n < samples() - capacity)
        return 0;
    return raw_[size_t(n % capacity)];
}

} // namespace robust

} // namespace skelv
