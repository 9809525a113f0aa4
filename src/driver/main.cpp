#include "driver/driver.h"

#include <cstdio>

#include "sys/cpu.h"

int main(int argc, char** argv) {
    // A kernel forced through the environment that cannot be had ends the run before it begins.
    if (const std::string refused = tarvo::kernel_refusal(); !refused.empty()) {
        std::printf("%s\n", refused.c_str());
        return 1;
    }
    return tarvo::Run_tarvo(argc, argv);
}
