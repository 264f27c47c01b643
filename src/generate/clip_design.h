// What a test clip shows and sounds like: spans of frames, marker boxes, frame timestamps
// and the beep track, independent of how it is encoded.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace skelv {

// The sound track is made in memory and its samples are counted in 32 bits.
constexpr double kMaxSeconds = 600;

struct Fraction {
    int num = 25;
    int den = 1;
};

struct ClipParams {
    int width = 320, height = 240;                           ///< pixels
    Fraction fps;                                            ///< frames per second
    int audio_rate = 48000;                                  ///< Hz
    int header = 5, locator = 5, content = 115, trailer = 5; ///< frames per span
    double audio_delay_ms = 0; ///< each beep starts this long after its flash; negative: before
    int flash_period = 25;     ///< content frames from one lip-sync flash to the next
    int sync_half_period = 4;  ///< frames black, then as many white, of the SYNCMARK
    int frameid_bits = 4;      ///< FRAMEID markers with half-periods 1, 2, 4, ... frames
    int beep_ms = 100;         ///< length of one beep
    int64_t start_ns = 0;      ///< timestamp of the first frame and the first sample
    bool video = true, audio = true;
    uint8_t background = 128; ///< grey level around the markers: mid-grey, or 0 for black
    std::vector<int> drop;   ///< design frames left out, leaving a gap in the timestamps
    std::vector<int> repeat; ///< design frames shown twice, delaying all later frames

    int design_frames() const { return header + locator + content + trailer; }
};

enum class MarkerKind { SyncMark, FrameId, Rgb6 };

// One square marker, drawn with edges on multiples of 16 pixels so that block-based codecs
// keep it sharp.
struct MarkerBox {
    MarkerKind kind;
    int half_period; ///< frames, for SyncMark and FrameId; 0 for Rgb6
    int left, top;   ///< pixels
    int size;        ///< width and height, pixels
};

// A frame as it is written: which design frame it shows and when.
struct DeliveredFrame {
    int design;        ///< index of the design frame shown
    uint64_t time_ns;  ///< presentation time after the clip's start
    uint64_t duration; ///< ns
};

struct ClipDesign {
    ClipParams params;
    std::vector<MarkerBox> markers;     ///< in raster order of their top-left corners
    std::vector<DeliveredFrame> frames; ///< in presentation order; empty without video
    uint64_t length_ns = 0;             ///< both streams cover this much after the start
    int64_t audio_samples = 0;          ///< length of the sound track; 0 without audio
    std::vector<int64_t> beep_starts;   ///< first sample of each beep, one per flash
};

// Checks the params and lays the clip out. False with a reason when the params cannot make a
// clip that the analyser reads as intended.
bool clip_design_make(const ClipParams& params, ClipDesign* design, std::string* error);

enum class Span { Header, Locator, Content, Trailer };
Span clip_design_span(const ClipParams& params, int frame);

// One letter of "krgybmcw" per marker: what design frame `frame` shows.
std::string clip_design_code(const ClipDesign& design, int frame);
bool clip_design_is_flash(const ClipDesign& design, int frame);
// What the marker shows at content offset `offset`, continued past the content's end: a
// blinking marker's square wave, black first; the lip-sync marker's colour cycle, flashes
// left out.
char clip_design_content_letter(const MarkerBox& marker, int64_t offset);
// One letter per marker at content offset `offset`, continued past the content's end; the
// lip-sync marker black when `flash`.
std::string clip_design_content_code(const ClipDesign& design, int64_t offset, bool flash);

// Paints design frame `frame` into an RGBx image of the params's size, `stride` bytes a row.
void clip_design_paint(const ClipDesign& design, int frame, uint8_t* rgbx, int stride);
// Paints the markers showing `code` (as clip_design_code gives it) over the background.
void clip_design_paint_code(const ClipDesign& design, const std::string& code, uint8_t* rgbx, int stride);
// One beep's samples; every beep of the clip is the same.
std::vector<int16_t> clip_design_beep(const ClipParams& params);
// The whole sound track: silence with a beep at each of `beep_starts`.
std::vector<int16_t> clip_design_sound(const ClipDesign& design);

} // namespace skelv
