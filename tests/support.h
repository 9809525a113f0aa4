// Helpers shared by the tests: scratch directories, file bytes, captured output, random bodies
// and runs of the built program.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "files/io.h"
#include "codec/reference.h"
#include "tarvo/body.h"
#include "geometry/passes.h"

// The tests speak of the library's names as its own code does.
using namespace tarvo;

namespace test_support {

using Bytes = std::vector<std::uint8_t>;

// A fresh directory under the system's temporary directory, removed with the object.
class ScratchDir {
public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    std::filesystem::path path() const { return dir_; }
    std::string file(const std::string& name) const { return (dir_ / name).string(); }

private:
    std::filesystem::path dir_;
};

Bytes read_bytes(const std::string& path);
void write_bytes(const std::string& path, const Bytes& bytes);
Bytes concat(Bytes a, const Bytes& b);

// A temporary stream holding `bytes`, positioned at its start.
std::FILE* stream_of(const Bytes& bytes);
// Everything written to a temporary stream.
Bytes contents_of(std::FILE* f);

// The 52-byte header image of the given twelve fields and a zero slot.
Bytes header_bytes(std::int32_t size, std::int32_t dim, std::int32_t fill = 0);

// A body with a bitmap, created quietly (no transcript), freed on destruction.
tarvo::Body body_of_edge(std::int32_t n);

// The whole block, padding included, so that stray writes past the grid are seen too.
Bytes bitmap_of(const TelesoRecord& rec);

// A file of the body: through the library's save path (threads 0: its own choice; the status of
// the write in *status), and through the voxel-by-voxel reference writer.
Bytes written_file(const TelesoRecord& rec, int threads = 0, tarvo::Status* status = nullptr);
Bytes reference_file(const TelesoRecord& rec);

// A voxel stream of a body of edge n read through the library's load path (from a file that
// holds a header and `stream`) with the decoder `path`, and through the reference reader.
struct StreamRead {
    bool ok = false;
    std::uint64_t code_bytes = 0;     // bytes of the stream consumed
    std::uint64_t surplus_bytes = 0;  // bytes after them, read on to the end of the file
    std::int64_t voxels_coded = 0;
    Bytes bitmap;
    TelesoRecord measured;  // the load path: the fields of the tally taken while reading
};
// split: the stream is read in two halves on two threads however short it is.
StreamRead load_stream(const Bytes& stream, std::int32_t n, int threads = 0,
                       tarvo::Kernel path = tarvo::chosen_kernel(), bool split = false);
StreamRead reference_read(const Bytes& stream, std::int32_t n);
// The decoding paths this build and processor have (the scalar one first).
std::vector<tarvo::Kernel> decode_paths();
// The same for the writer's paths.
std::vector<tarvo::Kernel> encode_paths();

// The measurement fields of a record (x_min .. voxels), to compare.
std::vector<std::int32_t> measurement_of(const TelesoRecord& rec);
// The voxel-by-voxel measurement of the body whose bitmap image is `bitmap`.
std::vector<std::int32_t> reference_measurement(const Bytes& bitmap, std::int32_t n);

// A file loaded through the library's load path (a failure is a test failure), freed on destruction.
struct Loaded {
    explicit Loaded(const std::string& path);
    tarvo::Body body;
    TelesoRecord& rec = body.rec;
    tarvo::LoadInfo info;
};

void fill_random(TelesoRecord& rec, std::mt19937_64& rng, double density);
void fill_all(TelesoRecord& rec);
bool same_voxels(const TelesoRecord& a, const TelesoRecord& b);

struct RunResult {
    int status = -1;
    std::string output;
};
std::string shell_quote(const std::string& s);
bool ends_with(const std::string& s, const std::string& tail);
std::set<std::string> names_in(const std::filesystem::path& dir);
// Temporary files of an output are named .<name>.<8 characters>.tmp.
std::size_t temporary_files_in(const std::filesystem::path& dir);

// Permissions do not stop root, so the cases that need an unwritable directory or an unreadable
// file run the programs as the unprivileged user "nobody" (prefix) when the tests run as root.
struct Unprivileged {
    bool available = false;
    std::string prefix;
    std::string why_not;
};
Unprivileged unprivileged();

// Runs the built tarvo with the arguments (quoted for the shell), standard output captured.
RunResult run_tarvo(const std::vector<std::string>& args, const std::string& workdir = "");
// The same for any program (standard output and standard error captured together), with an
// optional shell prefix in front of it, e.g. "ulimit -v 131072 &&".
RunResult run_program(const std::string& exe, const std::vector<std::string>& args,
                      const std::string& workdir = "", const std::string& prefix = "");
// tarvo under a shell prefix.
RunResult run_tarvo_under(const std::string& prefix, const std::vector<std::string>& args,
                          const std::string& workdir = "");

}  // namespace test_support
