// skelv-check's batch mode with a stand-in analysis: the batch's own behaviour without media.
#include "check/batch_cli.h"

int main(int argc, char* argv[])
{
    return batch_main(argc, argv, FAKE_CHECKER);
}
