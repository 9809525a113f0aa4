// What tarvo does, through the installed library's public face alone: read, measure, cut, measure,
// write. Usage: cut_with_library IN.3d OUT.3d X Y Z
#include <cstdio>

#include "tarvo/tarvo.h"

int main(int argc, char** argv) {
    if (argc != 6) return 2;
    tarvo::Body body;
    if (const tarvo::Status s = tarvo::load_body(argv[1], body.rec); !s) {
        std::fprintf(stderr, "%s\n", tarvo::describe(s).c_str());
        return 1;
    }
    const tarvo::CutLengths lengths{tarvo::Cut_length(argv[3]), tarvo::Cut_length(argv[4]), tarvo::Cut_length(argv[5])};
    tarvo::cut_as_program(body.rec, lengths);
    const tarvo::Status saved = tarvo::save_body(argv[2], body.rec);
    if (!saved) std::fprintf(stderr, "%s\n", tarvo::describe(saved).c_str());
    return saved ? 0 : 1;
}
