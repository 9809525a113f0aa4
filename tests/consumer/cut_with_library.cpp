// What tarvo does, through the installed library alone: read, measure, cut, measure, write.
// Usage: cut_with_library IN.3d OUT.3d X Y Z
#include <cstdio>
#include <string>

#include "geometry/geometry.h"
#include "teleso/teleso.h"

int main(int argc, char** argv) {
    if (argc != 6) return 2;
    TelesoRecord rec;
    teleso::LoadReport report;
    std::string error;
    if (!teleso::load_body(argv[1], rec, report, error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    Analyse_teleso(rec);
    Cut_teleso(rec, Get_center(rec), Cut_length(argv[3]), Cut_length(argv[4]), Cut_length(argv[5]));
    Analyse_teleso(rec);
    const bool saved = teleso::save_body(argv[2], rec, error);
    if (!saved) std::fprintf(stderr, "%s\n", error.c_str());
    teleso::release_body(rec);
    return saved ? 0 : 1;
}
