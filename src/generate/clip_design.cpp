#include "generate/clip_design.h"

#include "core/clip_constants.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace skelv {

namespace {

constexpr int kMarkerUnit = 16;          // codec block size that marker edges stay on
constexpr double kToneAmplitude = 10000; // per tone; the detector's level is about half of it
constexpr double kLowHz = clip::kBeepLowHz, kHighHz = clip::kBeepHighHz;
constexpr int kDetectorWindow = clip::kToneWindow; // samples the detector needs after a beep to close it

std::string format(const char* pattern, auto... args)
{
    char text[256];
    snprintf(text, sizeof text, pattern, args...);
    return text;
}

bool contains(const std::vector<int>& list, int value)
{
    return std::find(list.begin(), list.end(), value) != list.end();
}

uint64_t slot_time(const ClipParams& params, int64_t slot)
{
    // slot * den / num seconds, rounded down to whole nanoseconds.
    return uint64_t(slot) * uint64_t(params.fps.den) * 1000000000ull / uint64_t(params.fps.num);
}

int max_half_period(const ClipParams& params)
{
    return std::max(params.sync_half_period, 1 << (params.frameid_bits - 1));
}

bool check_spans(const ClipParams& params, std::string* error)
{
    if (params.locator < 2) {
        *error = "the locator needs at least 2 frames";
    } else if (params.content < 2 * max_half_period(params)) {
        *error = format("%d content frames are too few: the slowest marker blinks with a period of %d frames",
            params.content, 2 * max_half_period(params));
    } else if (params.content <= params.flash_period / 2) {
        *error = format("%d content frames hold no flash: the first comes at content frame %d", params.content,
            params.flash_period / 2);
    } else if (double(params.design_frames()) * params.fps.den / params.fps.num > kMaxSeconds) {
        *error = format("%d frames last longer than %.0f s", params.design_frames(), kMaxSeconds);
    }
    return error->empty();
}

// A fault in the content comes after every marker's first black and white runs, so that
// the half-periods still read as designed; the locator keeps two frames to be one.
bool check_faults(const ClipParams& params, std::string* error)
{
    const int content_start = params.header + params.locator;
    const int first_fault = content_start + max_half_period(params) + 1;
    for (const std::vector<int>* list : {&params.drop, &params.repeat})
        for (int frame : *list)
            if (frame < 0 || frame >= params.design_frames())
                *error = format("frame %d is not in the clip (0 to %d)", frame, params.design_frames() - 1);
            else if (frame >= content_start && frame < first_fault)
                *error = format("frame %d is too early in the content to drop or repeat: the markers' first "
                                "blinks must stay whole (from frame %d on)",
                    frame, first_fault);
    int locator = params.locator;
    for (int frame : params.drop) {
        if (contains(params.repeat, frame))
            *error = format("frame %d cannot be both dropped and repeated", frame);
        locator -= clip_design_span(params, frame) == Span::Locator;
    }
    for (int frame : params.repeat)
        locator += clip_design_span(params, frame) == Span::Locator;
    if (locator < 2)
        *error = "the dropped frames leave fewer than 2 locator frames";
    return error->empty();
}

// A grid of square markers, 32 pixels for every 320x240 of frame, with half a marker of
// grey around and between them.
bool place_markers(const ClipParams& params, std::vector<MarkerBox>* markers, std::string* error)
{
    const int count = params.frameid_bits + 2;
    const int size = 2 * kMarkerUnit * std::max(1, std::min(params.width / 320, params.height / 240));
    const int gap = size / 2;
    const int columns = (params.width - gap) / (size + gap);
    const int rows = columns > 0 ? (count + columns - 1) / columns : 0;
    if (columns == 0 || gap + rows * (size + gap) > params.height) {
        *error = format("a %dx%d frame cannot hold %d markers of %d pixels", params.width, params.height, count, size);
        return false;
    }
    // SYNCMARK first, then the FRAMEID bits from the fastest, the lip-sync marker last.
    for (int i = 0; i < count; i++) {
        const int left = gap + (i % columns) * (size + gap);
        const int top = gap + (i / columns) * (size + gap);
        if (i == 0)
            markers->push_back({MarkerKind::SyncMark, params.sync_half_period, left, top, size});
        else if (i == count - 1)
            markers->push_back({MarkerKind::Rgb6, 0, left, top, size});
        else
            markers->push_back({MarkerKind::FrameId, 1 << (i - 1), left, top, size});
    }
    return true;
}

// Dropped frames leave their slot empty; a repeated frame takes the next slot too.
void deliver_frames(ClipDesign* design)
{
    const ClipParams& params = design->params;
    int64_t slot = 0;
    for (int frame = 0; frame < params.design_frames(); frame++) {
        if (contains(params.drop, frame)) {
            slot++;
            continue;
        }
        const int copies = contains(params.repeat, frame) ? 2 : 1;
        for (int copy = 0; copy < copies; copy++, slot++)
            if (params.video)
                design->frames.push_back(
                    {frame, slot_time(params, slot), slot_time(params, slot + 1) - slot_time(params, slot)});
    }
    design->length_ns = slot_time(params, slot);
}

// Beeps follow the flashes' intended times: a repeated frame delays the picture, not the sound.
bool place_beeps(ClipDesign* design, std::string* error)
{
    const ClipParams& params = design->params;
    design->audio_samples = int64_t(std::llround(double(design->length_ns) * params.audio_rate / 1e9));
    const int64_t beep_samples = int64_t(params.beep_ms) * params.audio_rate / 1000;
    for (int frame = 0; frame < params.design_frames(); frame++) {
        if (!clip_design_is_flash(*design, frame))
            continue;
        const double seconds = double(frame) * params.fps.den / params.fps.num + params.audio_delay_ms / 1000;
        const int64_t start = std::llround(seconds * params.audio_rate);
        if (start < 0 || start + beep_samples + kDetectorWindow > design->audio_samples) {
            *error = format("the beep of the flash in frame %d would lie at %.3f s, outside the sound track "
                            "(0 to %.3f s): lengthen the header or the trailer",
                frame, seconds, double(design->length_ns) / 1e9);
            return false;
        }
        // The detector's window must clear one beep before the next begins.
        if (!design->beep_starts.empty() && start - design->beep_starts.back() < beep_samples + kDetectorWindow) {
            *error = format("beeps of %d ms at flashes %.0f ms apart leave less than %d samples of silence "
                            "between them, which the beep detector needs: lengthen the flash period or shorten "
                            "the beeps",
                params.beep_ms, 1000.0 * params.flash_period * params.fps.den / params.fps.num, kDetectorWindow);
            return false;
        }
        design->beep_starts.push_back(start);
    }
    return true;
}

struct Rgb {
    uint8_t r, g, b;
};

Rgb color_of(char letter)
{
    const int index = int(strchr(clip::kColorLetters, letter) - clip::kColorLetters);
    return {uint8_t(index & 1 ? 255 : 0), uint8_t(index & 2 ? 255 : 0), uint8_t(index & 4 ? 255 : 0)};
}

} // namespace

bool clip_design_make(const ClipParams& params, ClipDesign* design, std::string* error)
{
    *design = ClipDesign{};
    design->params = params;
    error->clear();
    if (!check_spans(params, error) || !check_faults(params, error) || !place_markers(params, &design->markers, error))
        return false;
    deliver_frames(design);
    return !params.audio || place_beeps(design, error);
}

Span clip_design_span(const ClipParams& params, int frame)
{
    if (frame < params.header)
        return Span::Header;
    if (frame < params.header + params.locator)
        return Span::Locator;
    return frame < params.header + params.locator + params.content ? Span::Content : Span::Trailer;
}

bool clip_design_is_flash(const ClipDesign& design, int frame)
{
    const ClipParams& params = design.params;
    const int offset = frame - params.header - params.locator;
    // Mid-period, so that a beep ahead of its flash still falls inside the sound track.
    return offset >= 0 && offset < params.content && offset % params.flash_period == params.flash_period / 2;
}

char clip_design_content_letter(const MarkerBox& marker, int64_t offset)
{
    if (marker.kind == MarkerKind::Rgb6)
        return clip::kColorCycle[offset % clip::kColorCycleLength];
    return (offset / marker.half_period) % 2 == 0 ? 'k' : 'w';
}

std::string clip_design_content_code(const ClipDesign& design, int64_t offset, bool flash)
{
    std::string code;
    for (const MarkerBox& marker : design.markers)
        code += marker.kind == MarkerKind::Rgb6 && flash ? 'k' : clip_design_content_letter(marker, offset);
    return code;
}

std::string clip_design_code(const ClipDesign& design, int frame)
{
    const Span span = clip_design_span(design.params, frame);
    if (span == Span::Content)
        return clip_design_content_code(
            design, frame - design.params.header - design.params.locator, clip_design_is_flash(design, frame));
    std::string code;
    for (const MarkerBox& marker : design.markers)
        code += span == Span::Locator && marker.kind == MarkerKind::FrameId ? 'k' : 'w';
    return code;
}

void clip_design_paint(const ClipDesign& design, int frame, uint8_t* rgbx, int stride)
{
    clip_design_paint_code(design, clip_design_code(design, frame), rgbx, stride);
}

void clip_design_paint_code(const ClipDesign& design, const std::string& code, uint8_t* rgbx, int stride)
{
    const ClipParams& params = design.params;
    for (int y = 0; y < params.height; y++)
        memset(rgbx + size_t(y) * stride, params.background, size_t(params.width) * 4);
    for (size_t m = 0; m < design.markers.size(); m++) {
        const MarkerBox& box = design.markers[m];
        const Rgb color = color_of(code[m]);
        for (int y = box.top; y < box.top + box.size; y++)
            for (int x = box.left; x < box.left + box.size; x++) {
                uint8_t* pixel = rgbx + size_t(y) * stride + size_t(x) * 4;
                pixel[0] = color.r;
                pixel[1] = color.g;
                pixel[2] = color.b;
            }
    }
}

std::vector<int16_t> clip_design_beep(const ClipParams& params)
{
    std::vector<int16_t> beep(size_t(int64_t(params.beep_ms) * params.audio_rate / 1000));
    for (size_t i = 0; i < beep.size(); i++) {
        const double t = 2 * M_PI * double(i) / params.audio_rate;
        beep[i] = int16_t(std::lround(kToneAmplitude * (std::sin(kLowHz * t) + std::sin(kHighHz * t))));
    }
    return beep;
}

std::vector<int16_t> clip_design_sound(const ClipDesign& design)
{
    std::vector<int16_t> samples(size_t(design.audio_samples), 0);
    const std::vector<int16_t> beep = clip_design_beep(design.params);
    for (int64_t start : design.beep_starts)
        std::copy(beep.begin(), beep.end(), samples.begin() + start);
    return samples;
}

} // namespace skelv
