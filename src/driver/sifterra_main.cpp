// The sifterra program: gathers technical-support information about this
// machine into one sealed container file in the current directory.
#include "driver/run.h"

int main(int argc, char** argv) {
    return run_sifterra(argc, argv);
}
