// The run frame: argument check, output check, read, process, write, release.
#include <cerrno>
#include <cstdio>
#include <memory>
#include <optional>
#include <new>
#include <filesystem>
#include <string>
#include <system_error>

#include "driver/driver.h"
#include "geometry/tape_cut.h"
#include "tarvo/geometry.h"
#include "files/output.h"
#include "tarvo/status.h"

namespace tarvo {

namespace {

constexpr int kExpectedArgs = 5;
constexpr int kDone = 0;
constexpr int kFailed = 1;

void print_usage() {
    std::printf("Program tarvo.exe a cut of a particle by a plane (to see the interior).\n");
    std::printf("Input: a shape form file (*.3d), output: new shape form file\n");
    std::printf("The cutting plane is given by three axis-cut lenghts.\n");
    std::printf("In the case that one or two cut-lenghts are 'infinite' some special double-cuts may be produced.\n");
    std::printf("\nExecution: tarvo <input *.3d> <output *.3d> <x-cut> <y-cut> <z-cut>\n\n");
    std::printf("\nExample: tarvo part.3d part2.3d 1 1 99999\n");
}

// The output refusals that came after the transcript was settled (a link another user put in a
// shared directory, a chain of links without end) say why on a line of their own.
void explain_refusal(const Status& s) {
    if (s.error == Error::kUnsafeLink || s.err == ELOOP) std::printf("%s\n", describe(s).c_str());
}

// Writing the output over the input would destroy the particle before it is read.
bool same_file(const char* input, const char* output) {
    if (std::string(input) == output) return true;
    std::error_code ec;
    const bool same = std::filesystem::equivalent(input, output, ec);
    return !ec && same;
}

// Each stage's line of the transcript, printed in its place.
void report_step(CutStep step, bool done, const TelesoRecord& r, Center c) {
    switch (step) {
    case CutStep::kMeasure:
        if (!done) {
            std::printf("Analysing the particle...");
            return;
        }
        std::printf("O.K.\n");
        std::printf("Particle contains %li voxels.\n", static_cast<long>(r.voxels));
        std::printf("Its center is: [%i,%i,%i]\n", c.x, c.y, c.z);
        return;
    case CutStep::kCut:
        std::printf(done ? "OK\n" : "Cutting the particle...");
        return;
    case CutStep::kRemeasure:
        std::printf(done ? "O.K.\n" : "Updating the characteristics of the cut particle...");
        return;
    }
}

}  // namespace

// The measurements are the voxel-by-voxel ones, taken in the passes that read and cut the particle
// where they can be; each stage's line is printed in its place all the same.
void Process_teleso(TelesoRecord& rec, const char* x_text, const char* y_text, const char* z_text,
                    const Tally* measured) {
    const CutLengths lengths{Cut_length(x_text), Cut_length(y_text), Cut_length(z_text)};
    cut_as_program(rec, lengths, report_step, measured, kAutoThreads);
}

namespace {

// Whether the particle is held in the main block as a bitmap (the tape of one block) rather than on
// a tape of its own: where its stream is long for its grid (a sixteenth of a byte a voxel or more:
// literals over much of the grid), the tape's words would fill much of the grid anyway, and the
// bitmap's reading (measuring as it lays the words in, faults taken on a third thread) is faster.
// A pipe's length is not known: its particle goes onto a tape, which holds no more than it needs.
bool held_as_bitmap(const Input& in, const TelesoRecord& rec) { return in.dense_for(voxel_count(rec.dim)); }

// Reading the voxels, processing and writing; the body exists and is released by the caller. The
// particle is read onto a tape, which holds it where it is: the main block is allocated as the
// program always has (its size is reported, and a run without room for it fails as before), and
// the tape lays its words in it, so only the pages of it they take are ever touched. A particle
// whose stream is long for its grid is read into the main block as a bitmap, the tape of one block.
int read_process_write_body(Input& in, TelesoRecord& rec, const char* output, const char* const* cuts) {
    std::printf("Reading input particle...");
    Tally measured;
    const bool bitmap = held_as_bitmap(in, rec);
    Tape tape(rec.dim, rec.data, padded_bytes(rec.size));
    if (bitmap) {
        if (Read_teleso_voxels(in, rec, &measured) != 0) return kFailed;
        tape = Tape::over(rec);
    } else if (Read_teleso_tape(in, tape) != 0) {
        return kFailed;
    }
    std::printf("O.K.\n");

    std::unique_ptr<geometry::PlaneRows> plane;
    const CutLengths lengths{Cut_length(cuts[0]), Cut_length(cuts[1]), Cut_length(cuts[2])};
    cut_tape_as_program(rec, tape, lengths, report_step, bitmap ? &measured : nullptr, kAutoThreads, &plane);

    std::printf("Writing the output file...");
    if (const Status s = check_output(output); !s) {
        std::printf("Can't write to %s file\n", output);
        explain_refusal(s);
        return kFailed;
    }
    if (Write_teleso_tape(output, rec, tape, plane.get()) != 0) return kFailed;
    std::printf("O.K.\n");
    return kDone;
}

// From the reading of the input to the release of the body.
int read_process_write(Input& in, const char* output, const char* const* cuts) {
    TelesoRecord rec;
    if (Read_teleso_header(in, rec) != 0) return kFailed;
    int status = kFailed;
    try {
        status = read_process_write_body(in, rec, output, cuts);
    } catch (const std::bad_alloc&) {
        // A stage heading may be open on this line.
        std::printf("\n%s\n", describe(fail(Error::kOutOfMemory, output)).c_str());
    }
    Free_teleso(rec);
    return status;
}

}  // namespace

int Run_tarvo(int argc, const char* const* argv) {
    if (argc - 1 != kExpectedArgs) {
        print_usage();
        return kFailed;
    }
    const char* input = argv[1];
    const char* output = argv[2];
    std::printf("Initialisation...\n");
    if (same_file(input, output)) {
        std::printf("Input '%s' and output '%s' are the same file; refusing to overwrite the input\n",
                    input, output);
        return kFailed;
    }
    if (const Status s = check_output(output); !s) {
        std::printf("Can't write to '%s' file\n", output);
        explain_refusal(s);
        return kFailed;
    }
    Input in;
    if (!in.open(input)) {
        std::printf("Can't read '%s' file\n", input);
        return kFailed;
    }
    return read_process_write(in, output, argv + 3);
}

}  // namespace tarvo
