// driver: the tarvo program's run frame and processing sequence.
//
// API
//   Run_tarvo(argc, argv)          the whole run; returns the exit status (0 done, 1 failure)
//   Process_teleso(rec, x, y, z)   measure, report, cut by the plane of the three cut-length
//                                  texts, measure again
#pragma once

#include "teleso/teleso.h"

int Run_tarvo(int argc, const char* const* argv);
void Process_teleso(TelesoRecord& rec, const char* x_cut, const char* y_cut, const char* z_cut);
