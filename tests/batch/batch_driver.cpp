// skelv-check's batch mode with a stand-in for the analysis of one recording, so that the
// batch's own behaviour (children, resuming, summaries) is tested without decoding media.
#include "check/batch_cli.h"

int main(int argc, char* argv[])
{
    return batch_main(argc, argv, FAKE_CHECKER);
}
