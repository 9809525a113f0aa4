// The body operations as the transcript names them: the program's messages around the library.
#include <cstdio>

#include "driver/driver.h"
#include "teleso/format.h"

int Create_teleso(TelesoRecord& rec, std::int32_t n) {
    if (!teleso::dim_in_range(n)) {
        // The 32-bit size and index formulas hold only up to the format's limit.
        std::printf("Create_teleso(): Neplatna dlzka hrany %i (povolene 0 az %i).\n", n, teleso::kMaxDim);
        rec.data = nullptr;
        return 1;
    }
    std::printf("Create_teleso(): Alokujem hlavny blok pre teleso o dlzke %.2f Mbyte...",
                static_cast<double>(teleso::bitmap_size(n)) / 1000000.0);
    if (!teleso::create_body(rec, n)) {
        std::printf("\nCreate_teleso(): Malo pamate.\n");
        return 1;
    }
    std::printf("O.K.\n");
    return 0;
}

void Free_teleso(TelesoRecord& rec) {
    rec.dim = 0;
    std::printf("Free_teleso(): Uvolnujem hlavny pamatovy blok...");
    teleso::free_body(rec);
    std::printf("O.K.\n");
}

int Read_teleso_header(teleso::Input& in, TelesoRecord& rec) {
    teleso::HeaderImage header;
    teleso::Status s = in.read_header(header);
    if (s) s = teleso::check_header(header, in.path());
    if (!s) {
        std::printf("%s\n", teleso::describe(s).c_str());
        rec.data = nullptr;
        return 1;
    }
    teleso::apply_header(header, rec);
    return Create_teleso(rec, header.dim());
}

int Read_teleso_voxels(teleso::Input& in, TelesoRecord& rec, teleso::Tally* measured) {
    if (const teleso::Status s = in.read_voxels(rec, teleso::kAutoThreads, measured); !s) {
        // The stage heading is still open on this line.
        std::printf("\n%s\n", teleso::describe(s).c_str());
        return 1;
    }
    return 0;
}

int Write_teleso(const char* path, const TelesoRecord& rec) {
    teleso::Output out;
    if (!out.open(path)) {
        std::printf("Write_teleso(): Neda sa otvorit subor %s\n", path);
        return 1;
    }
    std::printf("Write_teleso(): Zapisujem subor %s ... ", path);
    // Before the file's bytes, which may go to the same descriptor (/dev/stdout).
    std::fflush(stdout);
    teleso::Status s = teleso::write_body(out, rec);
    if (s) s = out.commit();
    if (!s) {
        if (s.error == teleso::Error::kOutOfMemory)
            std::printf("\n%s\n", teleso::describe(s).c_str());
        else
            std::printf("\nWrite_teleso(): Chyba pri zapise do suboru %s\n", path);
        return 1;
    }
    std::printf("O.K.\n");
    return 0;
}
