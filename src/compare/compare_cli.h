// `skelv-check compare [options] A B`: two sets of results set side by side.
#pragma once

namespace skelv {

// True when the command line asks for a comparison.
bool compare_requested(int argc, char** argv);

// Runs the comparison the command line asks for and returns the exit code.
int compare_main(int argc, char** argv);

} // namespace skelv
