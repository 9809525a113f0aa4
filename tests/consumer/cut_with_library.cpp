// What tarvo does, through the installed library alone: read, measure, cut, measure, write.
// Usage: cut_with_library IN.3d OUT.3d X Y Z
#include <cstdio>

#include "geometry/geometry.h"
#include "teleso/io.h"

int main(int argc, char** argv) {
    if (argc != 6) return 2;
    TelesoRecord rec;
    if (const teleso::Status s = teleso::load_body(argv[1], rec); !s) {
        std::fprintf(stderr, "%s\n", teleso::describe(s).c_str());
        return 1;
    }
    Analyse_teleso(rec);
    Cut_teleso(rec, Get_center(rec), Cut_length(argv[3]), Cut_length(argv[4]), Cut_length(argv[5]));
    Analyse_teleso(rec);
    const teleso::Status saved = teleso::save_body(argv[2], rec);
    if (!saved) std::fprintf(stderr, "%s\n", teleso::describe(saved).c_str());
    teleso::free_body(rec);
    return saved ? 0 : 1;
}
