// One long recording read in parts at once (on many cores or machines), and the parts joined
// into the result a reading of the whole gives.
//
//   skelv-check --part K/N: read_part() -> write_part_record()
//   skelv-check merge PART...: read_part_record() for each -> join_parts()
#pragma once

#include "check/part_record.h"
#include "media/media_source.h"

#include <functional>
#include <string>
#include <vector>

namespace skelv {

// Before its stretch a part reads this much of the recording, for the beeps' context; after
// it, this much sound, for a beep that starts in the stretch and ends after it.
inline constexpr int64_t kPartLeadNs = 5'000'000'000;
inline constexpr int64_t kPartTailNs = 1'000'000'000;

// Part `part` (from 1) of `parts` equal stretches of `length_ns`; the first reaches back to any
// time before it, the last on to any time after.
PartWindow part_window(int part, int parts, int64_t length_ns);

// Reads part `part` of `parts` of a recording into `*record`. A source of unknown length is
// read whole by its first part, the others owning nothing; one that cannot seek is read from
// its start up to the part. False with `*error` when it cannot be read at all.
bool read_part(const SourceRequest& source, const CheckOptions& options, int part, int parts, PartRecord* record,
               MediaError* error);
// The same for a stretch given.
bool read_part_window(const SourceRequest& source, const CheckOptions& options, const PartWindow& window,
                      PartRecord* record, MediaError* error);

// Joins the parts of one recording, given in any order, into its result; `on_frame` as
// CheckOptions::on_frame. False with `*error` when they are not the parts 1 to N of one
// recording, read alike.
bool join_parts(std::vector<PartRecord> parts, const std::function<void(const CheckFrame&)>& on_frame,
                CheckResult* result, std::string* error);

} // namespace skelv
