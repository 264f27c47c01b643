// Which formats the elements of an encoding can agree on: checked on their pad templates
// before a run, and found out after a run's negotiation failed.
#pragma once

#include "generate/clip_design.h"
#include "generate/codecs.h"

#include <gst/gst.h>

#include <string>

namespace skelv {

// Checks each stream against its encoder's and the muxer's pad templates, so that a codec,
// rate or size they cannot take is refused, with the limit that refuses it, before anything
// runs. Call after gst_init(). False with the reason.
bool caps_check_templates(const Encoding& encoding, const ClipParams& params, std::string* error);

// Whether the muxer takes `stream`, the caps a branch of `codec` really gives: encoders state
// fields at run time that their templates leave open, and the muxer takes only caps that
// state every field of its template. False with the field it misses.
bool caps_check_muxer_takes(const Container& container, const Codec& codec, const GstCaps* stream, std::string* error);

// After a negotiation error: the first link downstream of `source` whose sink pad refused
// the caps its peer offered, as "<element> and <element> could not agree on a format: ...";
// empty when there is none.
std::string caps_disagreement(GstElement* source);

} // namespace skelv
