// `skelv-check calibrate REFERENCE [--out FILE]`: a capture chain's own offset, measured on a
// recording of a clip without an offset of its own, written as a calibration file.
#pragma once

namespace skelv {

// True when the command line asks for a calibration.
bool calibrate_requested(int argc, char** argv);

// Runs the calibration the command line asks for and returns the exit code. GStreamer must
// be initialised.
int calibrate_main(int argc, char** argv);

} // namespace skelv
