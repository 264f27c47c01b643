// The test signal played live: the clip's header and locator once, then content that goes on
// without end, its frame counter never starting over, a flash and its beep every flash period.
// Frame n lies at n frame periods; the sound is silence with a beep at each flash's time plus
// the audio delay. Everything is computed when asked for, so that memory stays fixed.
//
// Asked to, the header and locator come back every so often for whoever joins late: they stand
// in for as many content frames, the count going on underneath. Each reminder is placed where
// it hides no flash and where the content after it shows a count that a reader cannot take for
// the content's start (offset 0 give or take a few frames).
#pragma once

#include "generate/clip_design.h"

#include <cstdint>
#include <string>
#include <vector>

namespace skelv {

struct PlayFrame {
    int64_t index;          ///< frames sent before this one
    Span span;              ///< Header, Locator or Content
    int64_t content_offset; ///< -1 before the content
    bool flash;
    uint64_t time_ns;     ///< running time
    uint64_t duration_ns;
};

struct PlayBeep {
    int64_t index;        ///< beeps before this one
    int64_t flash_offset; ///< content offset of its flash
    int64_t start_sample;
    uint64_t time_ns; ///< running time of its first sample
};

class PlayTimeline {
public:
    // False with a reason when the params cannot make a signal that skelv-check reads as
    // intended. The content, trailer and faults of a clip do not apply.
    // `locator_every_s`: seconds of content from the start of one header and locator to the
    // next, roughly; 0 for the start only.
    bool make(const ClipParams& params, double locator_every_s, std::string* error);

    const ClipParams& params() const { return design_.params; }
    // Content frames from one header and locator to the next as asked for; 0 for none.
    int64_t reminder_every() const { return every_; }
    PlayFrame frame(int64_t index) const;
    PlayBeep beep(int64_t index) const;
    // The first beep that starts at `sample` or later.
    int64_t first_beep_from(int64_t sample) const;
    uint64_t sample_time(int64_t sample) const;
    // Frames, or samples, that start before `end_ns`.
    int64_t frames_before(uint64_t end_ns) const;
    int64_t samples_before(uint64_t end_ns) const;

    // Frame `index` into an RGBx image of the params's size, `stride` bytes a row.
    void paint(int64_t index, uint8_t* rgbx, int stride) const;
    // `count` samples from `first` on.
    void fill_sound(int64_t first, int16_t* samples, int64_t count) const;

private:
    bool plan_reminders(double every_s, std::string* error);
    bool reminder_fits(int64_t start) const;
    // The design frame (header or locator) that frame `index` shows, or -1 for content.
    int64_t design_frame(int64_t index) const;

    ClipDesign design_; ///< header and locator as in a clip; the markers
    std::vector<int16_t> beep_;
    int64_t content_start_ = 0;
    int64_t every_ = 0;          ///< content frames between the places asked for reminders
    int64_t counter_period_ = 0; ///< frames after which the counter bits and colours repeat
};

} // namespace skelv
