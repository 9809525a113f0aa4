// driver: the tarvo program: its run frame, its processing sequence and the body operations
// under the names its transcript shows, which print the program's messages around the library's
// quiet calls.
//
// API
//   Run_tarvo(argc, argv)              the whole run; returns the exit status (0 done, 1 failure)
//   Process_teleso(rec, x, y, z, measured)   measure (or take the tally `measured` while reading),
//                                      report, cut by the plane of the three cut-length texts and
//                                      measure what the cut keeps on the way
//   Create_teleso(rec, n)              allocate a cleared bitmap of edge n; 0 ok, 1 failure
//   Free_teleso(rec)                   release the bitmap
//   Read_teleso_header(in, rec)        the header of an open input, then Create_teleso; 0 ok, 1 refused
//   Read_teleso_voxels(in, rec, measured)   the voxel stream into the bitmap, measured on the way
//                                      when `measured` is given; 0 ok, 1 failure
//   Write_teleso(path, rec)            the whole file, replacing the target whole; 0 ok, 1 failure
//   Write_teleso_releasing(path, rec)  the same; once the stream is written the bitmap is released
//                                      on a second thread while the file is put in place (the
//                                      record holds no bitmap afterwards)
//   Read_teleso_tape(in, tape)         the voxel stream onto a tape (body/tape.h); 0 ok, 1 failure
//   Write_teleso_tape(path, rec, tape, cuts)   Write_teleso_releasing of rec's header and the tape's
//                                      stream, its runs cut by `cuts`
#pragma once

#include "files/io.h"
#include "tarvo/body.h"

namespace tarvo {

int Run_tarvo(int argc, const char* const* argv);
void Process_teleso(TelesoRecord& rec, const char* x_cut, const char* y_cut, const char* z_cut,
                    const Tally* measured = nullptr);

int Create_teleso(TelesoRecord& rec, std::int32_t n);
void Free_teleso(TelesoRecord& rec);
int Read_teleso_header(Input& in, TelesoRecord& rec);
int Read_teleso_voxels(Input& in, TelesoRecord& rec, Tally* measured = nullptr);
int Write_teleso(const char* path, const TelesoRecord& rec);
int Write_teleso_releasing(const char* path, TelesoRecord& rec);
int Read_teleso_tape(Input& in, Tape& tape);
int Write_teleso_tape(const char* path, TelesoRecord& rec, const Tape& tape, const RowCuts* cuts);

}  // namespace tarvo
