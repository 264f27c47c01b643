#include "picture/marker_roles.h"

#include "core/clip_constants.h"
#include "picture/level_model.h"
#include "rules/time_units.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <map>
#include <numbers>

namespace skelv {

namespace {

// A marker cycles colours when its chroma spreads over more than this share of its luma's: at
// half saturation the colours still spread a third as far; a colour cast between black and
// white moves a blinking marker's chroma by a twentieth.
constexpr float kColourSpreadShare = 0.2f;
// Radius of a level's densest centre, as a share of the marker's range of levels.
constexpr float kLevelRadiusShare = 0.06f;
constexpr float kMinLevelRadius = 2; // 8-bit levels: coding noise of an interior mean
// A marker's own levels: its samples within this share of the black-white distance from the
// levels pooled over all blinking markers.
constexpr float kOwnLevelShare = 0.15f;
// A marker's own levels, found apart from the pooled ones where the picture is darker there,
// lie at least this share of the pooled black-white distance apart (a vignette halves it)...
constexpr float kMinOwnSwingShare = 0.25f;
// ...and stand in for them only when they explain this many times the samples.
constexpr double kOwnLevelsGain = 1.25;
// A blinking marker shows one of its two levels in at least this share of frames; the rest
// are blends from frame-rate conversion.
constexpr float kMinCleanShare = 0.3f;
// A frame is unblended when every blinking marker lies within this share of the black-white
// distance from one of its levels: neighbouring source frames differ in the fastest bit.
constexpr float kUnblendedShare = 0.1f;
// Lip-sync samples this close to the grey axis (share of the colours' typical chroma) are
// its black or white.
constexpr float kAchromaticShare = 0.35f;
// Steps of the colour cycle needed to measure the source frame rate and the half-periods.
constexpr int kMinColourSteps = 12;
// Colour frames further apart than this many source frames start a new stretch: the cycle's
// step across the gap could have wrapped.
constexpr double kMaxClockGap = 4.5;
// Longest half-period measured, source frames.
constexpr int64_t kMaxHalfPeriod = 1024;
// Share of a blinking marker's clear frames that its square wave must explain.
constexpr double kMinWaveAgreement = 0.9;
// A measured half-period within this ratio of a power of two counts as that power of two.
constexpr double kPowerOfTwoTolerance = 0.25;
// Clips carry at most 10 counter bits; a few more leave room without letting the counter's
// period (2^bits frames) outgrow the numbers.
constexpr int32_t kMaxCounterBits = 12;
// Share of the locator frames in which a marker must show the same level.
constexpr double kLocatorAgreement = 0.9;

struct Spread {
    float luma = 0, chroma = 0;
};

Spread spread_of(const std::vector<Yuv>& samples)
{
    std::vector<float> y, u, v;
    for (const Yuv& s : samples)
        y.push_back(s.y), u.push_back(s.u), v.push_back(s.v);
    const float mid_u = quantile_of(u, 0.5f), mid_v = quantile_of(v, 0.5f);
    std::vector<float> radius;
    for (const Yuv& s : samples)
        radius.push_back(std::hypot(s.u - mid_u, s.v - mid_v));
    return {quantile_of(y, 0.95f) - quantile_of(y, 0.05f), quantile_of(radius, 0.95f)};
}

// The densest dark and bright levels of `samples`, split at the middle of their range.
bool pooled_levels(const std::vector<Yuv>& samples, Yuv* black, Yuv* white)
{
    std::vector<float> y;
    for (const Yuv& s : samples)
        y.push_back(s.y);
    const float low = quantile_of(y, 0.05f), high = quantile_of(y, 0.95f), middle = (low + high) / 2;
    const float radius = std::max(kMinLevelRadius, kLevelRadiusShare * (high - low));
    std::vector<Yuv> dark, bright;
    for (const Yuv& s : samples)
        (s.y < middle ? dark : bright).push_back(s);
    int dark_members = 0, bright_members = 0;
    *black = densest_centre(dark, radius, &dark_members);
    *white = densest_centre(bright, radius, &bright_members);
    return dark_members >= 2 && bright_members >= 2;
}

// A marker's own black (or white): the mean of its samples near the pooled level, which a
// marker blinking every frame shows less often than its blends after frame-rate conversion.
Yuv own_level(const std::vector<Yuv>& samples, const Yuv& pooled, float radius, int* members)
{
    Yuv sum;
    *members = 0;
    for (const Yuv& s : samples)
        if (yuv_distance(s, pooled) <= radius) {
            sum.y += s.y, sum.u += s.u, sum.v += s.v;
            ++*members;
        }
    return *members > 0 ? Yuv{sum.y / float(*members), sum.u / float(*members), sum.v / float(*members)} : pooled;
}

size_t clean_samples(const std::vector<Yuv>& samples, const std::vector<Yuv>& levels)
{
    size_t clean = 0;
    for (const Yuv& s : samples)
        clean += classify_level(levels, s) >= 0;
    return clean;
}

// Black and white near the levels pooled over the blinking markers; false when it shows one
// of them nowhere near.
bool pooled_pair(const std::vector<Yuv>& samples, const Yuv& black, const Yuv& white, std::vector<Yuv>* levels)
{
    const float radius = kOwnLevelShare * yuv_distance(black, white);
    int black_members = 0, white_members = 0;
    *levels = {own_level(samples, black, radius, &black_members), own_level(samples, white, radius, &white_members)};
    return black_members > 0 && white_members > 0;
}

// The marker's own densest dark and bright levels, where the picture is darker or brighter
// than around the others (a lens's or a screen's vignette); false when they lie closer
// together than a blinking marker's would.
bool own_pair(const std::vector<Yuv>& samples, const Yuv& black, const Yuv& white, std::vector<Yuv>* levels)
{
    Yuv dark, bright;
    if (!pooled_levels(samples, &dark, &bright) ||
        yuv_distance(dark, bright) < kMinOwnSwingShare * yuv_distance(black, white))
        return false;
    *levels = {dark, bright};
    return true;
}

// A blinking marker's own black and white: near the pooled levels, unless its own levels
// explain clearly more of its samples; false when it does not show both, or shows either too
// rarely to be a marker that blinks.
bool two_levels(const std::vector<Yuv>& samples, const Yuv& black, const Yuv& white, std::vector<Yuv>* levels)
{
    std::vector<Yuv> pooled, own;
    const size_t pooled_clean = pooled_pair(samples, black, white, &pooled) ? clean_samples(samples, pooled) : 0;
    const size_t own_clean = own_pair(samples, black, white, &own) ? clean_samples(samples, own) : 0;
    const bool use_own = double(own_clean) > kOwnLevelsGain * double(pooled_clean);
    *levels = use_own ? own : pooled;
    return float(use_own ? own_clean : pooled_clean) >= kMinCleanShare * float(samples.size());
}

// Hue angles (radians, U right, V up) of "rygcbm": the mean of the angles that BT.601 and
// BT.709 give, which differ by a few degrees; a chain that swaps matrices stays far closer
// to them than the 30 degrees to the next colour.
std::array<float, clip::kColorCycleLength> nominal_hues()
{
    std::array<float, clip::kColorCycleLength> hues{};
    const double matrices[2][2] = {{0.299, 0.114}, {0.2126, 0.0722}};
    for (int i = 0; i < clip::kColorCycleLength; ++i) {
        const char* at = std::strchr(clip::kColorLetters, clip::kColorCycle[i]);
        const int bits = int(at - clip::kColorLetters);
        const double r = bits & 1, g = (bits >> 1) & 1, b = (bits >> 2) & 1;
        double x = 0, y = 0;
        for (const auto& m : matrices) {
            const double luma = m[0] * r + (1 - m[0] - m[1]) * g + m[1] * b;
            const double angle = std::atan2((r - luma) / (2 * (1 - m[0])), (b - luma) / (2 * (1 - m[1])));
            x += std::cos(angle), y += std::sin(angle);
        }
        hues[size_t(i)] = float(std::atan2(y, x));
    }
    return hues;
}

float angle_between(float a, float b)
{
    const float d = std::fmod(std::fabs(a - b), float(2 * std::numbers::pi));
    return std::min(d, float(2 * std::numbers::pi) - d);
}

// Colours of the cycle that the look-ahead never showed (a recording that keeps every other
// frame shows three), from their neighbours in the cycle: in RGB a secondary colour is the sum
// of its two primaries less black, a primary the sum of its two secondaries less white, and
// the chain maps RGB to YUV nearly affinely. False when a neighbour is missing too.
bool predict_unseen_colours(const std::array<bool, clip::kColorCycleLength>& seen, std::vector<Yuv>* levels)
{
    const int n = clip::kColorCycleLength;
    std::vector<Yuv> predicted = *levels;
    for (int k = 0; k < n; ++k) {
        if (seen[size_t(k)])
            continue;
        const int before = (k + n - 1) % n, after = (k + 1) % n;
        if (!seen[size_t(before)] || !seen[size_t(after)])
            return false;
        const Yuv& a = (*levels)[size_t(kShadeFirstColour + before)];
        const Yuv& b = (*levels)[size_t(kShadeFirstColour + after)];
        // "rygcbm": even positions are primaries, odd ones secondaries.
        const Yuv& less = (*levels)[k % 2 == 0 ? kShadeWhite : kShadeBlack];
        predicted[size_t(kShadeFirstColour + k)] = {a.y + b.y - less.y, a.u + b.u - less.u, a.v + b.v - less.v};
    }
    *levels = std::move(predicted);
    return true;
}

// The lip-sync marker's eight levels: black and white (its own, else the blinking markers'),
// then the six colours, each the densest point of the samples whose hue lies nearest to it.
bool colour_levels(const std::vector<Yuv>& samples, const Yuv& black, const Yuv& white, std::vector<Yuv>* levels)
{
    const float luma_range = std::max(white.y - black.y, 1.0f);
    std::vector<float> radius;
    std::vector<std::array<float, 2>> offset;
    for (const Yuv& s : samples) {
        const float along = std::clamp((s.y - black.y) / luma_range, 0.0f, 1.0f);
        const float du = s.u - (black.u + along * (white.u - black.u));
        const float dv = s.v - (black.v + along * (white.v - black.v));
        offset.push_back({du, dv});
        radius.push_back(std::hypot(du, dv));
    }
    const float typical = quantile_of(radius, 0.9f);
    const float level_radius = std::max(kMinLevelRadius, kLevelRadiusShare * typical);
    static const std::array<float, clip::kColorCycleLength> hues = nominal_hues();
    std::vector<Yuv> dark, bright;
    std::array<std::vector<Yuv>, clip::kColorCycleLength> by_hue;
    for (size_t i = 0; i < samples.size(); ++i) {
        if (radius[i] < kAchromaticShare * typical) {
            (samples[i].y < (black.y + white.y) / 2 ? dark : bright).push_back(samples[i]);
            continue;
        }
        const float hue = std::atan2(offset[i][1], offset[i][0]);
        size_t nearest = 0;
        for (size_t k = 1; k < hues.size(); ++k)
            if (angle_between(hue, hues[k]) < angle_between(hue, hues[nearest]))
                nearest = k;
        by_hue[nearest].push_back(samples[i]);
    }
    int members = 0;
    const Yuv own_black = densest_centre(dark, level_radius, &members);
    levels->assign(1, members >= 2 ? own_black : black);
    const Yuv own_white = densest_centre(bright, level_radius, &members);
    levels->push_back(members >= 2 ? own_white : white);
    std::array<bool, clip::kColorCycleLength> seen{};
    for (size_t k = 0; k < by_hue.size(); ++k) {
        levels->push_back(densest_centre(by_hue[k], level_radius, &members));
        seen[k] = members >= 2;
    }
    return predict_unseen_colours(seen, levels);
}

// The colour cycle as a clock: source frames counted from the lip-sync marker's colour steps.
struct ClockTick {
    size_t frame;
    int64_t count;   ///< source frames since the stretch began
    int32_t stretch; ///< a new one begins after white frames and after gaps the cycle could have wrapped in
};

struct ColourClock {
    std::vector<ClockTick> ticks;
    int64_t steps = 0;  ///< colour steps counted
    int64_t frames = 0; ///< source frames they add up to
    double seconds = 0; ///< captured time they span
    std::array<int64_t, clip::kColorCycleLength> of_size{}; ///< steps by how many colours they move on
};

// Steps of the size most of them have, other than none: a marker's colours move on by one
// source frame's step (two when every other frame is left out), other pictures' at random.
int64_t regular_steps(const ColourClock& clock)
{
    return *std::max_element(clock.of_size.begin() + 1, clock.of_size.end());
}

int64_t median_interval(const std::vector<int64_t>& times_ns)
{
    std::vector<float> gaps;
    for (size_t t = 1; t < times_ns.size(); ++t)
        gaps.push_back(float(times_ns[t] - times_ns[t - 1]));
    return int64_t(quantile_of(gaps, 0.5f));
}

// Steps between colour frames at most `max_gap_ns` apart count; a longer gap starts a stretch.
ColourClock colour_clock(const std::vector<int8_t>& lipsync, const std::vector<int64_t>& times_ns, double max_gap_ns)
{
    ColourClock clock;
    int32_t stretch = 0;
    int64_t count = 0;
    size_t previous = 0;
    bool have_previous = false;
    for (size_t t = 0; t < lipsync.size(); ++t) {
        if (lipsync[t] == kShadeWhite)
            have_previous = false;
        const int32_t phase = colour_phase(lipsync[t]);
        if (phase < 0)
            continue;
        if (have_previous && double(times_ns[t] - times_ns[previous]) <= max_gap_ns) {
            const int64_t step = (phase - colour_phase(lipsync[previous]) + clip::kColorCycleLength) %
                clip::kColorCycleLength;
            count += step;
            clock.steps++;
            clock.of_size[size_t(step)]++;
            clock.frames += step;
            clock.seconds += seconds_of(times_ns[t] - times_ns[previous]);
        } else {
            ++stretch;
            count = 0;
        }
        clock.ticks.push_back({t, count, stretch});
        previous = t;
        have_previous = true;
    }
    return clock;
}

// First from neighbouring frames only, which bounds the source rate roughly; then across any
// gap shorter than kMaxClockGap source frames at that rate, so that frames left unclear by
// blending do not cut the count.
ColourClock measure_clock(const std::vector<int8_t>& lipsync, const std::vector<int64_t>& times_ns)
{
    const double interval = double(median_interval(times_ns));
    const ColourClock rough = colour_clock(lipsync, times_ns, 1.5 * interval);
    const double rate = rough.steps >= kMinColourSteps && rough.frames > 0 ? double(rough.frames) / rough.seconds
                                                                            : double(kNsPerSecond) / std::max(interval, 1.0);
    return colour_clock(lipsync, times_ns, kMaxClockGap / rate * double(kNsPerSecond));
}

constexpr int64_t kNoWave = -1;

struct LevelAt {
    int64_t count; ///< source frame on the colour clock
    int32_t stretch;
    bool white;
};

// Matches of the square wave of half-period `h` with the samples of one stretch, best phase.
int64_t best_phase_matches(const std::vector<LevelAt>& samples, size_t first, size_t end, int64_t h)
{
    // Each sample agrees with the phases of one half of the cycle: add it to that cyclic range.
    std::vector<int64_t> delta(size_t(2 * h + 1), 0);
    const auto add = [&](int64_t from, int64_t length) {
        from %= 2 * h;
        const int64_t to = from + length;
        delta[size_t(from)]++;
        if (to <= 2 * h) {
            delta[size_t(to)]--;
        } else {
            delta[size_t(2 * h)]--;
            delta[0]++;
            delta[size_t(to - 2 * h)]--;
        }
    };
    for (size_t i = first; i < end; ++i) {
        const int64_t r = samples[i].count % (2 * h);
        // The wave is white when (count + phase) mod 2h >= h.
        add(samples[i].white ? 3 * h - r : 4 * h - r, h);
    }
    int64_t best = 0, running = 0;
    for (int64_t phase = 0; phase < 2 * h; ++phase)
        best = std::max(best, running += delta[size_t(phase)]);
    return best;
}

// Half-period (source frames) of the square wave that best explains a blinking marker's clear
// levels against the colour clock, each stretch with its own phase; 0 when the marker changes
// fewer than twice, kNoWave when it changes and no wave explains it: no marker of the clip.
int64_t fit_half_period(const std::vector<int8_t>& shades, const ColourClock& clock)
{
    std::vector<LevelAt> samples;
    int changes = 0;
    int64_t longest = 0, stretch_start = 0;
    for (const ClockTick& tick : clock.ticks) {
        const int8_t shade = shades[tick.frame];
        if (shade != kShadeBlack && shade != kShadeWhite)
            continue;
        const bool white = shade == kShadeWhite;
        if (samples.empty() || samples.back().stretch != tick.stretch)
            stretch_start = tick.count;
        else
            changes += samples.back().white != white;
        longest = std::max(longest, tick.count - stretch_start);
        samples.push_back({tick.count, tick.stretch, white});
    }
    if (changes < 2)
        return 0;
    int64_t best_h = 0, best_matches = -1;
    for (int64_t h = 1; h <= std::min<int64_t>(longest, kMaxHalfPeriod); ++h) {
        int64_t matches = 0;
        for (size_t first = 0; first < samples.size();) {
            size_t end = first;
            while (end < samples.size() && samples[end].stretch == samples[first].stretch)
                ++end;
            matches += best_phase_matches(samples, first, end, h);
            first = end;
        }
        if (matches > best_matches)
            best_matches = matches, best_h = h;
    }
    return double(best_matches) >= kMinWaveAgreement * double(samples.size()) ? best_h : kNoWave;
}

// Keeps the blinking areas that a square wave on the colour clock explains, with their
// half-periods (0: too few changes to measure); the others blink like no marker of the clip.
void keep_square_waves(const std::vector<std::vector<int8_t>>& shades, const ColourClock& clock,
    std::vector<size_t>* blinking, std::vector<double>* half_periods)
{
    std::vector<size_t> waves;
    for (size_t m : *blinking) {
        const int64_t half_period = fit_half_period(shades[m], clock);
        if (half_period != kNoWave) {
            waves.push_back(m);
            half_periods->push_back(double(half_period));
        }
    }
    *blinking = std::move(waves);
}

// The blinking marker that alone is white in the locator frames (lip-sync marker white, the
// blinking markers clear and not all white); -1 when no such frames or no single one.
int32_t locator_white(const std::vector<std::vector<int8_t>>& shades, const std::vector<size_t>& blinking,
    int32_t lipsync)
{
    std::map<size_t, int> white_count;
    int frames = 0;
    for (size_t t = 0; t < shades[size_t(lipsync)].size(); ++t) {
        if (shades[size_t(lipsync)][t] != kShadeWhite)
            continue;
        bool clear = true, any_black = false;
        for (size_t m : blinking) {
            clear = clear && shades[m][t] >= kShadeBlack;
            any_black = any_black || shades[m][t] == kShadeBlack;
        }
        if (!clear || !any_black)
            continue;
        ++frames;
        for (size_t m : blinking)
            white_count[m] += shades[m][t] == kShadeWhite;
    }
    int32_t found = -1;
    for (size_t m : blinking) {
        if (white_count[m] >= kLocatorAgreement * frames) {
            if (found >= 0)
                return -1;
            found = int32_t(m);
        } else if (white_count[m] > (1 - kLocatorAgreement) * frames) {
            return -1;
        }
    }
    return frames > 0 ? found : -1;
}

bool power_of_two_bit(double half_period, int32_t* bit)
{
    if (half_period <= 0)
        return false;
    *bit = int32_t(std::lround(std::log2(half_period)));
    return *bit >= 0 && std::fabs(half_period / double(1 << std::min(*bit, 30)) - 1) < kPowerOfTwoTolerance;
}

constexpr const char* kNoBinaryCounter = "the blinking markers do not form a binary frame counter";

// Whether two measured half-periods are the same.
bool half_period_shared(const std::vector<double>& half_periods)
{
    std::map<long, int> count;
    for (double h : half_periods)
        if (h > 0 && ++count[std::lround(h)] > 1)
            return true;
    return false;
}

// Positions of the measured half-periods that are no power of two.
std::vector<size_t> odd_half_periods(const std::vector<double>& half_periods)
{
    std::vector<size_t> odd;
    for (size_t k = 0; k < half_periods.size(); ++k) {
        int32_t bit = 0;
        if (half_periods[k] > 0 && !power_of_two_bit(half_periods[k], &bit))
            odd.push_back(k);
    }
    return odd;
}

// Position in `blinking` of the sync mark, blinking.size() when there is none, and how it was
// told: white alone in the locator, else the only odd half-period, else first in raster order.
size_t choose_sync(const std::vector<size_t>& blinking, const std::vector<double>& half_periods, int32_t locator_sync,
    SyncEvidence* from)
{
    if (locator_sync >= 0) {
        *from = SyncEvidence::Locator;
        return size_t(std::find(blinking.begin(), blinking.end(), size_t(locator_sync)) - blinking.begin());
    }
    const std::vector<size_t> odd = odd_half_periods(half_periods);
    if (odd.size() == 1 && !half_period_shared(half_periods)) {
        *from = SyncEvidence::HalfPeriod;
        return odd[0];
    }
    if (blinking.size() > 1) {
        *from = SyncEvidence::RasterOrder;
        return 0;
    }
    return blinking.size();
}

// The bits that measured half-periods name, each at most once and below blinking.size();
// markers without a measured half-period are left in `unmeasured`, in raster order.
bool bits_from_half_periods(const std::vector<size_t>& blinking, const std::vector<double>& half_periods, size_t sync,
    ReadingPlan* plan, std::vector<bool>* bit_taken, std::vector<size_t>* unmeasured)
{
    for (size_t k = 0; k < blinking.size(); ++k) {
        if (k == sync)
            continue;
        if (half_periods[k] <= 0) {
            unmeasured->push_back(blinking[k]);
            continue;
        }
        int32_t bit = 0;
        if (!power_of_two_bit(half_periods[k], &bit) || size_t(bit) >= bit_taken->size() || (*bit_taken)[size_t(bit)])
            return false;
        (*bit_taken)[size_t(bit)] = true;
        plan->markers[blinking[k]].role = MarkerRole::FrameId;
        plan->markers[blinking[k]].bit = bit;
    }
    return true;
}

// Markers that never changed twice in the content take the lowest bits still free.
void give_free_bits(const std::vector<size_t>& unmeasured, ReadingPlan* plan, std::vector<bool>* bit_taken)
{
    size_t next_free = 0;
    for (size_t m : unmeasured) {
        while (next_free < bit_taken->size() && (*bit_taken)[next_free])
            ++next_free;
        plan->markers[m].role = MarkerRole::FrameId;
        plan->markers[m].bit = int32_t(next_free);
        (*bit_taken)[next_free] = true;
    }
}

bool bits_complete(const std::vector<bool>& bit_taken, int32_t bits)
{
    return std::all_of(bit_taken.begin(), bit_taken.begin() + bits, [](bool taken) { return taken; });
}

// Sync mark first, then the bits: each blinking marker's half-period names its bit; markers
// that never changed twice in the content take the missing bits in raster order.
bool assign_blinking(const std::vector<size_t>& blinking, const std::vector<double>& half_periods, int32_t locator_sync,
    ReadingPlan* plan, std::string* reason)
{
    const size_t sync = choose_sync(blinking, half_periods, locator_sync, &plan->sync_from);
    if (sync < blinking.size()) {
        plan->sync = int32_t(blinking[sync]);
        plan->markers[blinking[sync]].role = MarkerRole::Sync;
        plan->markers[blinking[sync]].half_period = int32_t(std::lround(half_periods[sync]));
    }
    const int32_t bits = int32_t(blinking.size()) - (plan->sync >= 0 ? 1 : 0);
    std::vector<bool> bit_taken(blinking.size(), false);
    std::vector<size_t> unmeasured;
    if (!bits_from_half_periods(blinking, half_periods, sync, plan, &bit_taken, &unmeasured) || bits > kMaxCounterBits) {
        *reason = kNoBinaryCounter;
        return false;
    }
    give_free_bits(unmeasured, plan, &bit_taken);
    if (!bits_complete(bit_taken, bits)) {
        *reason = kNoBinaryCounter;
        return false;
    }
    for (size_t m : blinking)
        if (plan->markers[m].role == MarkerRole::FrameId)
            plan->markers[m].half_period = 1 << plan->markers[m].bit;
    plan->counter_bits = bits;
    if (bits == 0) {
        *reason = "no blinking frame-counter markers";
        return false;
    }
    return true;
}

// Frames in which every blinking marker sits close to one of its levels.
std::vector<size_t> unblended_frames(const std::vector<std::vector<Yuv>>& series, const std::vector<size_t>& blinking,
    const std::vector<MarkerPlan>& markers, float swing)
{
    std::vector<size_t> frames;
    for (size_t t = 0; t < series[blinking[0]].size(); ++t) {
        bool clean = true;
        for (size_t m : blinking) {
            const std::vector<Yuv>& levels = markers[m].levels;
            clean = clean && std::min(yuv_distance(series[m][t], levels[0]), yuv_distance(series[m][t], levels[1])) <=
                    kUnblendedShare * swing;
        }
        if (clean)
            frames.push_back(t);
    }
    return frames;
}

// Of the colour-cycling areas, the one whose colours step most often alike is the lip-sync
// marker; its colours are learnt from unblended frames only.
bool choose_lipsync(const std::vector<std::vector<Yuv>>& series, const std::vector<int64_t>& times_ns,
    const std::vector<size_t>& colour, const std::vector<size_t>& unblended, const Yuv& black, const Yuv& white,
    ReadingPlan* plan, std::string* reason)
{
    int64_t most_steps = -1;
    for (size_t m : colour) {
        std::vector<Yuv> samples;
        for (size_t t : unblended)
            samples.push_back(series[m][t]);
        MarkerPlan candidate;
        candidate.role = MarkerRole::LipSync;
        if (!colour_levels(samples, black, white, &candidate.levels))
            continue;
        std::vector<int8_t> shades;
        for (const Yuv& value : series[m])
            shades.push_back(read_shade(candidate, value));
        const int64_t steps = regular_steps(measure_clock(shades, times_ns));
        if (steps > most_steps) {
            most_steps = steps;
            if (plan->lipsync >= 0)
                plan->markers[size_t(plan->lipsync)] = MarkerPlan{};
            plan->lipsync = int32_t(m);
            plan->markers[m] = std::move(candidate);
        }
    }
    if (plan->lipsync < 0)
        *reason = "no area cycles through the six colours of the lip-sync marker";
    return plan->lipsync >= 0;
}

} // namespace

double snap_frame_rate(double rate)
{
    static constexpr double kCommonRates[] = {
        24000.0 / 1001, 24, 25, 30000.0 / 1001, 30, 48, 50, 60000.0 / 1001, 60, 100, 120000.0 / 1001, 120};
    double nearest = rate, best = 0.01;
    for (double common : kCommonRates) {
        const double off = std::fabs(rate / common - 1);
        if (off < best)
            best = off, nearest = common;
    }
    return nearest;
}

std::vector<size_t> drop_unknown_areas(ReadingPlan* plan)
{
    std::vector<size_t> dropped;
    std::vector<MarkerPlan> kept;
    for (size_t m = 0; m < plan->markers.size(); ++m) {
        if (plan->markers[m].role == MarkerRole::Unknown)
            dropped.push_back(m);
        else
            kept.push_back(std::move(plan->markers[m]));
    }
    // The lip-sync marker and the sync mark have roles: only areas before them moved.
    const auto moved = [&](int32_t m) {
        return m < 0 ? m : m - int32_t(std::lower_bound(dropped.begin(), dropped.end(), size_t(m)) - dropped.begin());
    };
    plan->markers = std::move(kept);
    plan->lipsync = moved(plan->lipsync);
    plan->sync = moved(plan->sync);
    return dropped;
}

int8_t read_shade(const MarkerPlan& marker, const Yuv& value)
{
    return int8_t(classify_level(marker.levels, value));
}

bool plan_markers(const std::vector<std::vector<Yuv>>& series, const std::vector<int64_t>& times_ns,
    ReadingPlan* plan, std::string* reason)
{
    *plan = ReadingPlan{};
    plan->markers.resize(series.size());
    std::vector<size_t> colour, others;
    std::vector<Yuv> pooled;
    for (size_t m = 0; m < series.size(); ++m) {
        const Spread spread = spread_of(series[m]);
        if (spread.chroma > kColourSpreadShare * spread.luma) {
            colour.push_back(m);
        } else {
            others.push_back(m);
            pooled.insert(pooled.end(), series[m].begin(), series[m].end());
        }
    }
    Yuv black, white;
    std::vector<size_t> blinking;
    if (pooled_levels(pooled, &black, &white))
        for (size_t m : others)
            if (two_levels(series[m], black, white, &plan->markers[m].levels))
                blinking.push_back(m);
    if (blinking.empty()) {
        *reason = "no area blinks between two levels";
        return false;
    }
    const std::vector<size_t> unblended = unblended_frames(series, blinking, plan->markers, yuv_distance(black, white));
    if (!choose_lipsync(series, times_ns, colour, unblended, black, white, plan, reason))
        return false;

    std::vector<std::vector<int8_t>> shades(series.size());
    for (size_t m = 0; m < series.size(); ++m)
        for (const Yuv& value : series[m])
            shades[m].push_back(read_shade(plan->markers[m], value));
    const ColourClock clock = measure_clock(shades[size_t(plan->lipsync)], times_ns);
    if (clock.steps < kMinColourSteps || clock.frames == 0) {
        *reason = "too few content frames to measure the marker half-periods";
        return false;
    }
    plan->source_fps = snap_frame_rate(double(clock.frames) / clock.seconds);
    std::vector<double> half_periods;
    keep_square_waves(shades, clock, &blinking, &half_periods);
    if (blinking.empty()) {
        *reason = kMarkersDisagree;
        return false;
    }
    const int32_t locator_sync = locator_white(shades, blinking, plan->lipsync);
    return assign_blinking(blinking, half_periods, locator_sync, plan, reason);
}

} // namespace skelv
