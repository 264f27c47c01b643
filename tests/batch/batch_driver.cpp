// skelv-check's batch mode with a stand-in analysis: the batch's own behaviour without media.
#include "batch/batch_cli.h"

using namespace skelv;

int main(int argc, char* argv[])
{
    return batch_main(argc, argv, FAKE_CHECKER);
}
