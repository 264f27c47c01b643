// skelv-check's batch mode (`--out DIR RECORDING...`) and `skelv-check merge DIR...`.
#pragma once

#include <string>

namespace skelv {

// True when the command line asks for a batch or a merge rather than one recording.
bool batch_requested(int argc, char** argv);

// Runs the batch or the merge the command line asks for and returns the exit code.
// `checker` is the program that analyses one recording (skelv-check itself).
int batch_main(int argc, char** argv, const std::string& checker);

} // namespace skelv
