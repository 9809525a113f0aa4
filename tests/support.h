// Helpers shared by the tests: scratch directories, file bytes, captured output, random bodies
// and runs of the built program.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "teleso/teleso.h"

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
struct Body {
    explicit Body(std::int32_t n);
    ~Body();
    Body(const Body&) = delete;
    Body& operator=(const Body&) = delete;
    TelesoRecord rec;
};

void fill_random(TelesoRecord& rec, std::mt19937_64& rng, double density);
void fill_all(TelesoRecord& rec);
bool same_voxels(const TelesoRecord& a, const TelesoRecord& b);

struct RunResult {
    int status = -1;
    std::string output;
};
// Runs the built tarvo with the arguments (quoted for the shell), standard output captured.
RunResult run_tarvo(const std::vector<std::string>& args, const std::string& workdir = "");
// The same for any program (standard output and standard error captured together).
RunResult run_program(const std::string& exe, const std::vector<std::string>& args,
                      const std::string& workdir = "");

}  // namespace test_support
