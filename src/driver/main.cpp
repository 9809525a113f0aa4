#include "driver/driver.h"

int main(int argc, char** argv) { return Run_tarvo(argc, argv); }
