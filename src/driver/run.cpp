// The run frame: argument check, output check, read, process, write, release.
#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>

#include "driver/driver.h"
#include "geometry/geometry.h"
#include "teleso/output.h"

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

// Writing the output over the input would destroy the particle before it is read.
bool same_file(const char* input, const char* output) {
    if (std::string(input) == output) return true;
    std::error_code ec;
    const bool same = std::filesystem::equivalent(input, output, ec);
    return !ec && same;
}

}  // namespace

void Process_teleso(TelesoRecord& rec, const char* x_text, const char* y_text, const char* z_text) {
    std::printf("Analysing the particle...");
    Analyse_teleso(rec);
    std::printf("O.K.\n");
    const Center c = Get_center(rec);
    std::printf("Particle contains %li voxels.\n", static_cast<long>(rec.voxels));
    std::printf("Its center is: [%i,%i,%i]\n", c.x, c.y, c.z);
    const float x_cut = Cut_length(x_text);
    const float y_cut = Cut_length(y_text);
    const float z_cut = Cut_length(z_text);
    std::printf("Cutting the particle...");
    Cut_teleso(rec, c, x_cut, y_cut, z_cut);
    std::printf("OK\n");
    std::printf("Updating the characteristics of the cut particle...");
    Analyse_teleso(rec);
    std::printf("O.K.\n");
}

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
    if (!teleso::output_writable(output)) {
        std::printf("Can't write to '%s' file\n", output);
        return kFailed;
    }
    std::FILE* in = std::fopen(input, "rb");
    if (!in) {
        std::printf("Can't read '%s' file\n", input);
        return kFailed;
    }
    TelesoRecord rec;
    if (Read_teleso_header(in, rec, input) != 0) {
        std::fclose(in);
        return kFailed;
    }
    std::printf("Reading input particle...");
    const int read_status = Read_teleso_voxels(in, rec, input);
    std::fclose(in);
    if (read_status != 0) {
        Free_teleso(rec);
        return kFailed;
    }
    std::printf("O.K.\n");

    Process_teleso(rec, argv[3], argv[4], argv[5]);

    std::printf("Writing the output file...");
    if (!teleso::output_writable(output)) {
        std::printf("Can't write to %s file\n", output);
        Free_teleso(rec);
        return kFailed;
    }
    const int write_status = Write_teleso(output, rec);
    if (write_status == 0) std::printf("O.K.\n");
    Free_teleso(rec);
    return write_status == 0 ? kDone : kFailed;
}
