// Exit codes of the three programs, of a batch and of a merge: the one place a caller's
// script and the batch learn what a code means.
#pragma once

namespace skelv::exit_code {

// Every program.
inline constexpr int kSuccess = 0;
inline constexpr int kUsage = 1; ///< wrong command line

// skelv-check on one recording, a batch and a merge. When recordings of a batch failed and
// others could not be analysed, the failure wins: it is a finding about the device.
inline constexpr int kPass = kSuccess;       ///< within tolerance (a batch: every recording)
inline constexpr int kNotAnalysed = 2;       ///< unreadable, not a test clip, nothing to judge
inline constexpr int kOutput = 3;            ///< an output could not be written
inline constexpr int kFail = 4;              ///< analysed and out of tolerance
inline constexpr int kInterrupted = 130;     ///< a batch stopped by a signal; what was finished is kept

// skelv-analyzer.
inline constexpr int kFirstDecode = 2;  ///< the first decode failed, or the path is not a regular file
inline constexpr int kSecondDecode = 3; ///< the second decode failed
inline constexpr int kReportLost = 4;   ///< the report could not be written whole to standard output

// skelv-generate.
inline constexpr int kNotMade = 2; ///< the clip could not be made

} // namespace skelv::exit_code
