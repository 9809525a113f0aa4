// Output files that are replaced whole or not at all.
//
// API
//   output_writable(path)      can path be written? Never truncates; removes what it created
//   open_output(path, out)     a temporary file beside the target (or the target itself when it
//                              exists and is not a regular file, e.g. a device or a pipe)
//   commit_output(out)         flush, close and rename over the target; false on any failure
//   abandon_output(out)        close and remove the temporary file
//   finish_output(out, ok)     commit when every write succeeded (ok), abandon otherwise
#pragma once

#include <cstdio>
#include <string>

namespace teleso {

bool output_writable(const char* path);

struct PendingOutput {
    std::FILE* file = nullptr;
    std::string target;     // the file that is replaced (symbolic links followed)
    std::string temp;       // empty when the target is written directly
};

bool open_output(const char* path, PendingOutput& out);
bool commit_output(PendingOutput& out);
void abandon_output(PendingOutput& out);
bool finish_output(PendingOutput& out, bool written);

}  // namespace teleso
