#include "generate/play_timeline.h"

#include "core/clip_constants.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <numeric>

namespace skelv {

namespace {

using Wide = unsigned __int128; // frame and sample counts times 1e9 outgrow 64 bits in a long run

constexpr uint64_t kSecond = 1000000000;

uint64_t ceil_div(Wide a, Wide b)
{
    return uint64_t((a + b - 1) / b);
}

// The count after a reminder stays this many frames off a whole number of counter periods,
// where the content's start would show; a reader tells the two apart with a smaller margin.
constexpr int64_t kReminderMargin = 5;
// Reminder places repeat after the counter's and the flashes' common period; longer ones are
// not searched.
constexpr int64_t kLongestPlaceCycle = int64_t(1) << 22;

} // namespace

bool PlayTimeline::make(const ClipParams& params, double locator_every_s, std::string* error)
{
    // The clip design checks the spans and places the markers; a content of one slowest blink
    // or one flash stands in for the endless one, and the beeps are checked here.
    ClipParams clip = params;
    clip.content = std::max(2 * std::max(params.sync_half_period, 1 << (params.frameid_bits - 1)),
        params.flash_period / 2 + 1);
    clip.trailer = 0;
    clip.audio = false;
    if (!clip_design_make(clip, &design_, error))
        return false;
    design_.params.audio = params.audio;
    content_start_ = params.header + params.locator;
    if (locator_every_s > 0 && !plan_reminders(locator_every_s, error))
        return false;
    if (!params.audio)
        return true;
    beep_ = clip_design_beep(params);
    const double first_s = double(beep(0).start_sample) / params.audio_rate;
    const double period_samples = double(params.flash_period) * params.fps.den / params.fps.num * params.audio_rate;
    char text[256] = "";
    if (beep(0).start_sample < 0)
        snprintf(
            text, sizeof text, "the first beep would start %.3f s before the signal: lengthen the header", -first_s);
    else if (period_samples < double(beep_.size() + clip::kToneWindow))
        snprintf(text, sizeof text,
            "beeps of %d ms at flashes %.0f ms apart leave less than %d samples of silence between them, which the "
            "beep detector needs: lengthen the flash period or shorten the beeps",
            params.beep_ms, 1000.0 * period_samples / params.audio_rate, clip::kToneWindow);
    *error = text;
    return error->empty();
}

// Reminders are placed from where they are asked for onwards at the first offset that suits:
// the places repeat with the counter's period and the flashes', and the longest wait for one
// must leave the reminder done before the next is asked for.
bool PlayTimeline::plan_reminders(double every_s, std::string* error)
{
    const ClipParams& p = params();
    const int64_t length = content_start_;
    counter_period_ = std::lcm<int64_t>(clip::kColorCycleLength, int64_t(1) << p.frameid_bits);
    const int64_t cycle = std::lcm(counter_period_, int64_t(p.flash_period));
    every_ = std::llround(every_s * p.fps.num / p.fps.den);
    if (counter_period_ < 2 * kReminderMargin) {
        *error = "--locator-every needs --frameid-bits 2 or more, so that the count after a repeated locator "
                 "cannot be taken for the content's start";
        return false;
    }
    if (length >= p.flash_period) {
        *error = "--locator-every: the header and locator (" + std::to_string(length) +
                 " frames) would hide a flash wherever they stood: make the flash period longer than them";
        return false;
    }
    if (cycle > kLongestPlaceCycle) {
        *error = "--locator-every: a flash period of " + std::to_string(p.flash_period) +
                 " frames and this frame counter repeat together only after " + std::to_string(cycle) +
                 " frames, too long to search for places: take a shorter flash period";
        return false;
    }
    int64_t longest_wait = -1;
    for (int64_t offset = 2 * cycle - 1, next_free = -1; offset >= 0; --offset) {
        if (reminder_fits(offset))
            next_free = offset;
        if (offset < cycle && next_free >= 0)
            longest_wait = std::max(longest_wait, next_free - offset);
    }
    if (longest_wait < 0) {
        *error = "--locator-every: no place in the content where the header and locator hide no flash and leave "
                 "a count apart from the start: change the flash period or the frame counter bits";
        return false;
    }
    const int64_t shortest = longest_wait + length;
    if (every_ < shortest) {
        char text[160];
        snprintf(text, sizeof text, "--locator-every is too short for this design: at least %.3f minutes",
            double(shortest) * p.fps.den / p.fps.num / 60);
        *error = text;
        return false;
    }
    return true;
}

// Whether a reminder may stand in for content offsets `start` on: it hides no flash, and the
// count after it lies well off the content's start.
bool PlayTimeline::reminder_fits(int64_t start) const
{
    const ClipParams& p = params();
    const int64_t after = (start + content_start_) % counter_period_;
    if (std::min(after, counter_period_ - after) < kReminderMargin)
        return false;
    const int64_t flash = p.flash_period / 2;
    const int64_t from_flash = ((start - flash - 1) % p.flash_period + p.flash_period) % p.flash_period;
    return from_flash + content_start_ <= p.flash_period - 1;
}

int64_t PlayTimeline::design_frame(int64_t index) const
{
    if (index < content_start_)
        return index;
    const int64_t offset = index - content_start_;
    if (every_ == 0 || offset < every_)
        return -1;
    int64_t start = offset / every_ * every_;
    while (!reminder_fits(start))
        ++start;
    return offset >= start && offset < start + content_start_ ? offset - start : -1;
}

PlayFrame PlayTimeline::frame(int64_t index) const
{
    const ClipParams& p = params();
    const int64_t shown = design_frame(index);
    PlayFrame frame{index, shown >= 0 ? clip_design_span(p, int(shown)) : Span::Content, -1, false, 0, 0};
    if (shown < 0) {
        frame.content_offset = index - content_start_;
        frame.flash = frame.content_offset % p.flash_period == p.flash_period / 2;
    }
    const auto slot = [&](int64_t n) {
        return uint64_t(Wide(n) * uint64_t(p.fps.den) * kSecond / uint64_t(p.fps.num));
    };
    frame.time_ns = slot(index);
    frame.duration_ns = slot(index + 1) - frame.time_ns;
    return frame;
}

// At the flash's time plus the delay, rounded to a sample as in a clip's sound track.
PlayBeep PlayTimeline::beep(int64_t index) const
{
    const ClipParams& p = params();
    const int64_t offset = index * p.flash_period + p.flash_period / 2;
    const double seconds = double(content_start_ + offset) * p.fps.den / p.fps.num + p.audio_delay_ms / 1000;
    const int64_t start = std::llround(seconds * p.audio_rate);
    return {index, offset, start, start >= 0 ? sample_time(start) : 0};
}

int64_t PlayTimeline::first_beep_from(int64_t sample) const
{
    const ClipParams& p = params();
    const double seconds = double(sample) / p.audio_rate - p.audio_delay_ms / 1000;
    const double frames = seconds * p.fps.num / p.fps.den - double(content_start_ + p.flash_period / 2);
    int64_t index = std::max<int64_t>(0, int64_t(std::floor(frames / p.flash_period)));
    while (index > 0 && beep(index - 1).start_sample >= sample)
        index--;
    while (beep(index).start_sample < sample)
        index++;
    return index;
}

uint64_t PlayTimeline::sample_time(int64_t sample) const
{
    return uint64_t(Wide(sample) * kSecond / uint64_t(params().audio_rate));
}

int64_t PlayTimeline::frames_before(uint64_t end_ns) const
{
    const ClipParams& p = params();
    return int64_t(ceil_div(Wide(end_ns) * uint64_t(p.fps.num), Wide(kSecond) * uint64_t(p.fps.den)));
}

int64_t PlayTimeline::samples_before(uint64_t end_ns) const
{
    return int64_t(ceil_div(Wide(end_ns) * uint64_t(params().audio_rate), kSecond));
}

void PlayTimeline::paint(int64_t index, uint8_t* rgbx, int stride) const
{
    const int64_t shown = design_frame(index);
    if (shown >= 0) {
        clip_design_paint(design_, int(shown), rgbx, stride);
        return;
    }
    const PlayFrame f = frame(index);
    clip_design_paint_code(design_, clip_design_content_code(design_, f.content_offset, f.flash), rgbx, stride);
}

void PlayTimeline::fill_sound(int64_t first, int16_t* samples, int64_t count) const
{
    std::fill(samples, samples + count, int16_t(0));
    const int64_t length = int64_t(beep_.size());
    for (int64_t index = first_beep_from(first - length + 1);; index++) {
        const int64_t start = beep(index).start_sample;
        if (start >= first + count)
            break;
        for (int64_t s = std::max(start, first); s < std::min(start + length, first + count); s++)
            samples[s - first] = beep_[size_t(s - start)];
    }
}

} // namespace skelv
