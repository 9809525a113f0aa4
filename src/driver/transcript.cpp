// The body operations as the transcript names them: the program's messages around the library.
#include <cstdio>

#include "driver/driver.h"
#include "format/format.h"
#include "sys/threads.h"

namespace tarvo {

int Create_teleso(TelesoRecord& rec, std::int32_t n) {
    if (!dim_in_range(n)) {
        // The 32-bit size and index formulas hold only up to the format's limit.
        std::printf("Create_teleso(): Neplatna dlzka hrany %i (povolene 0 az %i).\n", n, kMaxDim);
        rec.data = nullptr;
        return 1;
    }
    std::printf("Create_teleso(): Alokujem hlavny blok pre teleso o dlzke %.2f Mbyte...",
                static_cast<double>(bitmap_size(n)) / 1000000.0);
    if (!create_body(rec, n)) {
        std::printf("\nCreate_teleso(): Malo pamate.\n");
        return 1;
    }
    std::printf("O.K.\n");
    return 0;
}

void Free_teleso(TelesoRecord& rec) {
    rec.dim = 0;
    std::printf("Free_teleso(): Uvolnujem hlavny pamatovy blok...");
    free_body(rec);
    std::printf("O.K.\n");
}

int Read_teleso_header(Input& in, TelesoRecord& rec) {
    HeaderImage header;
    Status s = in.read_header(header);
    if (s) s = check_header(header, in.path());
    if (!s) {
        std::printf("%s\n", describe(s).c_str());
        rec.data = nullptr;
        return 1;
    }
    apply_header(header, rec);
    return Create_teleso(rec, header.dim());
}

int Read_teleso_voxels(Input& in, TelesoRecord& rec, Tally* measured) {
    if (const Status s = in.read_voxels(rec, kAutoThreads, measured); !s) {
        // The stage heading is still open on this line.
        std::printf("\n%s\n", describe(s).c_str());
        return 1;
    }
    return 0;
}

namespace {

// Releases a large bitmap on a second thread from the moment it is no longer needed: giving its
// pages back and putting the written file in place (which frees the pages of a replaced file) are
// both the system's work, and take about as long on a large grid.
class Release {
public:
    explicit Release(TelesoRecord* rec) : rec_(rec) {}
    ~Release() { join(); }
    void start() {
        if (!rec_ || pass_threads(voxel_count(rec_->dim), kAutoThreads) < 2) return;
        thread_.start([rec = rec_] { free_body(*rec); });
    }
    void join() {
        if (thread_.running()) thread_.join();
    }

private:
    TelesoRecord* rec_;
    Helper thread_;
};

// Writes the file whose header and stream `write` puts into the output, with the program's messages.
template <class Write>
int write_teleso_with(const char* path, TelesoRecord* release, Write&& write) {
    Output out;
    if (!out.open(path)) {
        std::printf("Write_teleso(): Neda sa otvorit subor %s\n", path);
        return 1;
    }
    std::printf("Write_teleso(): Zapisujem subor %s ... ", path);
    // Before the file's bytes, which may go to the same descriptor (/dev/stdout).
    std::fflush(stdout);
    Status s = write(out);
    Release releasing(release);
    releasing.start();
    if (s) s = out.commit();
    releasing.join();
    if (!s) {
        if (s.error == Error::kOutOfMemory)
            std::printf("\n%s\n", describe(s).c_str());
        else
            std::printf("\nWrite_teleso(): Chyba pri zapise do suboru %s\n", path);
        return 1;
    }
    std::printf("O.K.\n");
    return 0;
}

}  // namespace

int Write_teleso(const char* path, const TelesoRecord& rec) {
    return write_teleso_with(path, nullptr, [&](Output& out) { return write_body(out, rec); });
}

int Write_teleso_releasing(const char* path, TelesoRecord& rec) {
    return write_teleso_with(path, &rec, [&](Output& out) { return write_body(out, rec); });
}

int Write_teleso_tape(const char* path, TelesoRecord& rec, const Tape& tape, const RowCuts* cuts) {
    return write_teleso_with(path, &rec, [&](Output& out) { return write_tape(out, rec, tape, cuts); });
}

int Read_teleso_tape(Input& in, Tape& tape) {
    if (const Status s = in.read_tape(tape); !s) {
        // The stage heading is still open on this line.
        std::printf("\n%s\n", describe(s).c_str());
        return 1;
    }
    return 0;
}

}  // namespace tarvo
