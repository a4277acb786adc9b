#include "Swap.h"

// Finishes an update of the console: no arguments, no output, exit code 0 whatever happens.
int main() {
    try {
        using namespace std::chrono_literals;
        kelswap::swapProgram(kelswap::programNames(), kelswap::systemOperations(), 10s, 6000);
    } catch (...) {
    }
    return 0;
}
