#include "support.h"

#include <gtest/gtest.h>

#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>

#include "tarvo/geometry.h"

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

tarvo::Body body_of_edge(std::int32_t n) {
    tarvo::Body b;
    if (!b.create(n)) throw std::runtime_error("cannot allocate a test body");
    return b;
}

Loaded::Loaded(const std::string& path) {
    if (const tarvo::Status s = tarvo::load_body(path, rec, &info); !s) ADD_FAILURE() << tarvo::describe(s);
}
Bytes bitmap_of(const TelesoRecord& rec) { return Bytes(rec.data, rec.data + tarvo::padded_bytes(rec.size)); }

Bytes written_file(const TelesoRecord& rec, int threads, tarvo::Status* status) {
    ScratchDir dir;
    const std::string path = dir.file("body.3d");
    tarvo::Output out;
    tarvo::Status s = out.open(path);
    if (s) s = tarvo::write_body(out, rec, threads);
    if (s) s = out.commit();
    if (status) *status = s;
    return s ? read_bytes(path) : Bytes{};
}

Bytes reference_file(const TelesoRecord& rec) {
    std::FILE* f = std::tmpfile();
    if (!tarvo::reference::write_body(f, rec)) throw std::runtime_error("the reference writer failed");
    Bytes out = contents_of(f);
    std::fclose(f);
    return out;
}

StreamRead load_stream(const Bytes& stream, std::int32_t n, int threads, tarvo::Kernel decoder, bool split) {
    // An in-memory file, so that thousands of streams cost no disk.
    const Bytes file = concat(header_bytes(0, n), stream);
    const int fd = memfd_create("stream", 0);
    if (fd < 0 || write(fd, file.data(), file.size()) != static_cast<ssize_t>(file.size()))
        throw std::runtime_error("cannot make an in-memory file");
    const std::string file_path = "/proc/self/fd/" + std::to_string(fd);
    Body b = body_of_edge(n);
    tarvo::Input in;
    tarvo::HeaderImage header;
    StreamRead r;
    tarvo::Tally tally;
    if (split) in.split_streams_from(1);
    r.ok = in.open(file_path) && in.read_header(header) && in.read_voxels(b.rec, threads, &tally, decoder) &&
           in.read_rest();
    r.measured.dim = n;
    tarvo::geometry::set_measurement(r.measured, tally);
    r.code_bytes = in.facts().code_bytes;
    r.surplus_bytes = in.facts().surplus_bytes;
    r.voxels_coded = in.facts().voxels_coded;
    r.bitmap = bitmap_of(b.rec);
    close(fd);
    return r;
}

StreamRead reference_read(const Bytes& stream, std::int32_t n) {
    Body b = body_of_edge(n);
    std::FILE* f = stream_of(stream);
    StreamRead r;
    r.ok = tarvo::reference::read_voxels(f, b.rec);
    const long position = std::ftell(f);
    r.code_bytes = static_cast<std::uint64_t>(position);
    r.surplus_bytes = stream.size() - std::min<std::size_t>(stream.size(), static_cast<std::size_t>(position));
    r.bitmap = bitmap_of(b.rec);
    std::fclose(f);
    return r;
}

std::vector<tarvo::Kernel> decode_paths() {
    std::vector<tarvo::Kernel> paths;
    for (tarvo::Kernel p : {tarvo::Kernel::kScalar, tarvo::Kernel::kSse2, tarvo::Kernel::kAvx2,
                                 tarvo::Kernel::kAvx512})
        if (tarvo::kernel_available(p)) paths.push_back(p);
    return paths;
}

std::vector<tarvo::Kernel> encode_paths() {
    std::vector<tarvo::Kernel> paths;
    for (tarvo::Kernel p : {tarvo::Kernel::kScalar, tarvo::Kernel::kAvx2, tarvo::Kernel::kAvx512})
        if (tarvo::kernel_available(p)) paths.push_back(p);
    return paths;
}

std::vector<std::int32_t> measurement_of(const TelesoRecord& r) {
    return {r.x_min, r.x_max, r.y_min, r.y_max, r.z_min, r.z_max, r.x_mean, r.y_mean, r.z_mean, r.voxels};
}

std::vector<std::int32_t> reference_measurement(const Bytes& bitmap, std::int32_t n) {
    Body b = body_of_edge(n);
    std::copy(bitmap.begin(), bitmap.end(), b.rec.data);
    tarvo::geometry::reference::analyse(b.rec);
    return measurement_of(b.rec);
}

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

bool ends_with(const std::string& s, const std::string& tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

std::set<std::string> names_in(const fs::path& dir) {
    std::set<std::string> names;
    for (const auto& e : fs::directory_iterator(dir)) names.insert(e.path().filename().string());
    return names;
}

std::size_t temporary_files_in(const fs::path& dir) {
    std::size_t count = 0;
    for (const std::string& name : names_in(dir))
        if (name.front() == '.' && ends_with(name, ".tmp")) ++count;
    return count;
}

Unprivileged unprivileged() {
    Unprivileged u;
    if (geteuid() != 0) {
        u.available = true;
        return u;
    }
    u.prefix = "setpriv --reuid=65534 --regid=65534 --clear-groups";
    const RunResult probe = run_tarvo_under(u.prefix, {});
    u.available = probe.status == 1 && probe.output.rfind("Program tarvo.exe", 0) == 0;
    if (!u.available) u.why_not = "cannot run tarvo as nobody (setpriv missing or build not reachable)";
    return u;
}

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
