// `skelv-check merge PART... [--json FILE] [--csv FILE] [--html FILE] [--timeline FILE]`: the
// parts of one long recording, read at once by `skelv-check --part K/N`, joined into the
// result a reading of the whole gives.
#pragma once

namespace skelv {

// True when the command line is a merge of part files (a merge of batch folders names folders).
bool merge_of_parts_requested(int argc, char** argv);

// Joins the parts the command line names and returns the exit code, as skelv-check's for the
// recording.
int merge_parts_main(int argc, char** argv);

} // namespace skelv
