// A capture chain's own picture-to-sound offset, kept in a file: made by `skelv-check
// calibrate` from a recording of a clip without an offset of its own, taken off every delay
// by `skelv-check --calibration FILE`.
#pragma once

#include "check/check_result.h"

#include <nlohmann/json_fwd.hpp>

#include <string>

namespace skelv {

inline constexpr int kCalibrationVersion = 1;
inline constexpr size_t kMinCalibrationEvents = 3;

// The calibration file of a reference recording's result, made at `made` (UTC, ISO 8601).
// False with a message when the reference cannot calibrate: fewer than kMinCalibrationEvents
// events, or events where its timestamps are broken.
bool calibration_of(const CheckResult& reference, const std::string& made, nlohmann::ordered_json* file, std::string* error);

// The calibration in a file. False with a message naming `path` when it is missing,
// unreadable, not a calibration or of another format version.
bool read_calibration(const std::string& path, ChainCalibration* calibration, std::string* error);

} // namespace skelv
