#include "support.h"

#include <sys/wait.h>

#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>

namespace fs = std::filesystem;

namespace test_support {

ScratchDir::ScratchDir() {
    std::random_device rd;
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string name("tarvo-test-");
        name.append(std::to_string(rd()));
        fs::path p = fs::temp_directory_path() / name;
        if (fs::create_directory(p)) {
            dir_ = p;
            return;
        }
    }
    throw std::runtime_error("cannot create a scratch directory");
}

ScratchDir::~ScratchDir() {
    std::error_code ec;
    // Tests may leave read-only directories behind; give the owner rights back first.
    for (auto it = fs::recursive_directory_iterator(dir_, ec); !ec && it != fs::recursive_directory_iterator(); it.increment(ec))
        fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(dir_, ec);
}

Bytes read_bytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void write_bytes(const std::string& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

Bytes concat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

std::FILE* stream_of(const Bytes& bytes) {
    std::FILE* f = std::tmpfile();
    if (!bytes.empty()) std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::rewind(f);
    return f;
}

Bytes contents_of(std::FILE* f) {
    std::fflush(f);
    std::rewind(f);
    Bytes out;
    for (int c; (c = std::getc(f)) != EOF;) out.push_back(static_cast<std::uint8_t>(c));
    return out;
}

Bytes header_bytes(std::int32_t size, std::int32_t dim, std::int32_t fill) {
    Bytes h(52, 0);
    auto put = [&h](std::size_t off, std::int32_t v) {
        const auto u = static_cast<std::uint32_t>(v);
        for (int k = 0; k < 4; ++k) h[off + k] = static_cast<std::uint8_t>(u >> (8 * k));
    };
    put(0, size);
    put(4, dim);
    for (std::size_t off = 8; off < 48; off += 4) put(off, fill);
    return h;
}

Body::Body(std::int32_t n) {
    if (!teleso::allocate_body(rec, n)) throw std::runtime_error("cannot allocate a test body");
}
Body::~Body() { teleso::release_body(rec); }

void fill_random(TelesoRecord& rec, std::mt19937_64& rng, double density) {
    std::bernoulli_distribution set(density);
    for (std::int32_t z = 0; z < rec.dim; ++z)
        for (std::int32_t y = 0; y < rec.dim; ++y)
            for (std::int32_t x = 0; x < rec.dim; ++x) Set_voxel(rec, x, y, z, set(rng) ? 1 : 0);
}

void fill_all(TelesoRecord& rec) {
    for (std::int32_t z = 0; z < rec.dim; ++z)
        for (std::int32_t y = 0; y < rec.dim; ++y)
            for (std::int32_t x = 0; x < rec.dim; ++x) Set_voxel(rec, x, y, z, 1);
}

bool same_voxels(const TelesoRecord& a, const TelesoRecord& b) {
    if (a.dim != b.dim) return false;
    for (std::int32_t z = 0; z < a.dim; ++z)
        for (std::int32_t y = 0; y < a.dim; ++y)
            for (std::int32_t x = 0; x < a.dim; ++x)
                if (Get_voxel(a, x, y, z) != Get_voxel(b, x, y, z)) return false;
    return true;
}

namespace {
std::string shell_quote(const std::string& s) {
    std::string q = "'";
    for (char c : s) {
        if (c == '\'')
            q.append("'\\''");
        else
            q.push_back(c);
    }
    q.push_back('\'');
    return q;
}
}  // namespace

// In a cross build the program runs under the emulator (TARVO_RUNNER, e.g. qemu-aarch64).
RunResult run_tarvo(const std::vector<std::string>& args, const std::string& workdir) {
    return run_program(TARVO_EXE, args, workdir, TARVO_RUNNER);
}

RunResult run_tarvo_under(const std::string& prefix, const std::vector<std::string>& args,
                          const std::string& workdir) {
    return run_program(TARVO_EXE, args, workdir, prefix + " " + TARVO_RUNNER);
}

RunResult run_program(const std::string& exe, const std::vector<std::string>& args, const std::string& workdir,
                      const std::string& prefix) {
    std::string cmd;
    if (!workdir.empty()) cmd.append("cd ").append(shell_quote(workdir)).append(" && ");
    if (!prefix.empty()) cmd.append(prefix).append(" ");
    cmd.append(shell_quote(exe));
    for (const auto& a : args) cmd.append(" ").append(shell_quote(a));
    cmd.append(" 2>&1");
    RunResult r;
    std::FILE* p = popen(cmd.c_str(), "r");
    if (!p) return r;
    char buf[4096];
    for (std::size_t k; (k = std::fread(buf, 1, sizeof buf, p)) > 0;) r.output.append(buf, k);
    const int raw = pclose(p);
    r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
    return r;
}

}  // namespace test_support
