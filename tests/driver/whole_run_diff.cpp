// Whole runs of this build's tarvo against a reference tarvo built for x86 (x87 extended
// arithmetic): on particles and cuts that put voxels exactly on the plane or next to it, both must
// print the same transcript, end with the same status and leave the same output bytes. Registered
// where the plane sum is formed in software: a cross build (arm64 under qemu, where long double
// is a quad) or TARVO_SOFT_EXTENDED.
//
// Usage: whole_run_diff REFERENCE_TARVO
// Prints the number of runs compared and of plane sums exactly 1 among them; exits 1 on the first
// differences (up to ten are described).
#include <atomic>
#include <cstdio>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tarvo/geometry.h"
#include "geometry/plane.h"
#include "tarvo/shapes.h"
#include "sys/cpu.h"
#include "support.h"
#include "sys/cpu.h"

using namespace test_support;

namespace {

struct Particle {
    std::string name;
    std::int32_t dim;
    std::function<void(TelesoRecord&)> fill;
    bool large;  // run with the short list of cuts only
};

void fill_shell(TelesoRecord& rec, double thickness) {
    const double c = (rec.dim - 1) / 2.0, r = rec.dim / 2.0 - 1;
    tarvo::shapes::fill_balls(rec, {{c, c, c, r}}, {{c, c, c, r - thickness}});
}

// A cube whose walls are `wall` voxels thick: full rows at the walls, two stretches elsewhere.
void fill_hollow_cube(TelesoRecord& rec, std::int32_t wall) {
    const std::int32_t n = rec.dim;
    auto in_wall = [&](std::int32_t k) { return k < wall || k >= n - wall; };
    for (std::int32_t z = 0; z < n; ++z)
        for (std::int32_t y = 0; y < n; ++y) {
            if (in_wall(y) || in_wall(z)) {
                tarvo::shapes::set_row_range(rec, y, z, 0, n - 1);
            } else {
                tarvo::shapes::set_row_range(rec, y, z, 0, wall - 1);
                tarvo::shapes::set_row_range(rec, y, z, n - wall, n - 1);
            }
        }
}

void fill_cube(TelesoRecord& rec) {
    for (std::int32_t z = 0; z < rec.dim; ++z)
        for (std::int32_t y = 0; y < rec.dim; ++y) tarvo::shapes::set_row_range(rec, y, z, 0, rec.dim - 1);
}

std::vector<Particle> particles() {
    std::vector<Particle> p;
    for (std::int32_t n : {1, 2, 3, 4, 5, 6, 7, 8, 9, 12, 16, 17, 31, 32, 33, 64})
        p.push_back({"cube" + std::to_string(n), n, fill_cube, false});
    // 2^21 voxels and more: every stage runs on two threads.
    p.push_back({"cube130", 130, fill_cube, true});
    p.push_back({"shell40", 40, [](TelesoRecord& r) { fill_shell(r, 3); }, false});
    p.push_back({"shell101", 101, [](TelesoRecord& r) { fill_shell(r, 2); }, true});
    p.push_back({"shell200", 200, [](TelesoRecord& r) { fill_shell(r, 2); }, true});
    p.push_back({"hollowcube48", 48, [](TelesoRecord& r) { fill_hollow_cube(r, 2); }, false});
    p.push_back({"grain64", 64, [](TelesoRecord& r) { tarvo::shapes::make_grain(r, 1, 300); }, false});
    p.push_back({"noise24", 24, [](TelesoRecord& r) { tarvo::shapes::make_noise(r, 3, 0.5); }, false});
    // Off the grid's middle: the centre and the offsets are no longer symmetric.
    p.push_back({"corner20", 20, [](TelesoRecord& r) { tarvo::shapes::make_box(r, {4, 5, 6}, {4, 3, 5}); }, false});
    p.push_back({"voxel5", 5, [](TelesoRecord& r) { Set_voxel(r, 3, 1, 2, 1); }, false});
    p.push_back({"empty10", 10, [](TelesoRecord&) {}, false});
    p.push_back({"dim0", 0, [](TelesoRecord&) {}, false});
    return p;
}

using Cut = std::vector<std::string>;

// Sums of exact quotients that reach 1 (2 3 6, 3 1 3 on its axes, powers of two), signed and
// unsigned zeros, lengths beyond single precision, subnormal, huge, NaN and infinite ones, and
// inexact quotients whose rounding decides.
const std::vector<Cut> kCuts = {
    {"1", "1", "99999"}, {"1", "1", "1"},     {"2", "2", "2"},       {"3", "3", "3"},
    {"4", "4", "4"},     {"8", "8", "8"},     {"16", "16", "16"},    {"32", "32", "32"},
    {"64", "64", "64"},  {"2", "3", "6"},     {"6", "3", "2"},       {"3", "6", "2"},
    {"-2", "-3", "-6"},  {"2", "-3", "6"},    {"3", "1", "3"},       {"-3", "1", "-3"},
    {"2", "4", "4"},     {"4", "2", "4"},     {"0.5", "0.5", "0.5"}, {"0.25", "1", "1"},
    {"1", "2", "2"},     {"0.1", "0.2", "0.3"}, {"7", "11", "13"},   {"1e39", "2", "2"},
    {"2", "1e39", "2"},  {"2", "2", "1e39"},  {"1e39", "1e39", "4"}, {"1e39", "1e39", "1e39"},
    {"-1e39", "2", "2"}, {"0", "0", "0"},     {"-0", "-0", "-0"},    {"0", "1", "1"},
    {"-0", "1", "1"},    {"0", "-0", "2"},    {"1", "0", "99999"},   {"1e39", "-0", "2"},
    {"nan", "1", "1"},   {"1", "1", "nan"},   {"inf", "2", "2"},     {"-inf", "2", "2"},
    {"99999", "99999", "99999"}, {"-1", "-1", "99999"}, {"1", "1", "-99999"},
    {"1e-30", "1", "1"}, {"1e-45", "1", "1"}, {"3.4e38", "1", "1"},  {"0x10", "8", "8"},
    {"x", "y", "z"},
};
// For the large particles: a few of each kind.
const std::vector<Cut> kLargeCuts = {
    {"1", "1", "99999"}, {"2", "3", "6"}, {"3", "1", "3"},  {"32", "32", "32"}, {"64", "64", "64"},
    {"-2", "-3", "-6"},  {"0", "-0", "2"}, {"1e39", "1e39", "4"}, {"0.1", "0.2", "0.3"},
};

struct Outcome {
    RunResult run;
    bool wrote = false;
    Bytes bytes;
};

Outcome run_in(const std::string& exe, const std::string& runner, const std::string& dir,
               const std::vector<std::string>& args) {
    std::remove((dir + "/out.3d").c_str());
    Outcome o;
    o.run = run_program(exe, args, dir, runner);
    if (std::FILE* f = std::fopen((dir + "/out.3d").c_str(), "rb")) {
        std::fclose(f);
        o.wrote = true;
        o.bytes = read_bytes(dir + "/out.3d");
    }
    return o;
}

// Plane sums exactly 1 over the set voxels of an analysed body, in the software format (exact on
// every platform).
long voxels_on_plane(const TelesoRecord& rec, const Cut& cut) {
    using tarvo::geometry::SoftPlane;
    const Center c = Get_center(rec);
    const float xc = Cut_length(cut[0].c_str()), yc = Cut_length(cut[1].c_str()), zc = Cut_length(cut[2].c_str());
    const tarvo::geometry::SoftExtended one = tarvo::geometry::soft_from_int(1);
    long count = 0;
    for (std::int32_t z = 0; z < rec.dim; ++z)
        for (std::int32_t y = 0; y < rec.dim; ++y)
            for (std::int32_t x = 0; x < rec.dim; ++x) {
                if (!Get_voxel(rec, x, y, z)) continue;
                const tarvo::geometry::SoftExtended s = SoftPlane::add(
                    SoftPlane::add(SoftPlane::term(x - c.x, xc), SoftPlane::term(y - c.y, yc)), SoftPlane::term(z - c.z, zc));
                count += s.kind == one.kind && s.negative == one.negative && s.exponent == one.exponent &&
                         s.significand == one.significand;
            }
    return count;
}

struct Job {
    std::string what;
    std::vector<std::string> args;
};

// Runs the jobs on `threads` threads, each with a folder of its own for each program, since the
// runs spend most of their time starting processes (under qemu, translating code).
class Comparison {
public:
    Comparison(std::string reference, const ScratchDir& dir, std::string reference_runner, std::string own_runner)
        : reference_(std::move(reference)), dir_(dir), reference_runner_(std::move(reference_runner)),
          own_runner_(std::move(own_runner)) {}

    void run_all(const std::vector<Job>& jobs, int threads) {
        std::vector<std::thread> workers;
        for (int t = 0; t < threads; ++t) workers.emplace_back([this, &jobs, t] { work(jobs, t); });
        for (std::thread& w : workers) w.join();
        runs_ = static_cast<long>(jobs.size());
    }

    long runs() const { return runs_; }
    long differences() const { return differences_; }

private:
    void work(const std::vector<Job>& jobs, int t) {
        const std::string ref = dir_.file("ref" + std::to_string(t)), own = dir_.file("own" + std::to_string(t));
        std::filesystem::create_directory(ref);
        std::filesystem::create_directory(own);
        for (std::size_t k; (k = next_++) < jobs.size();) {
            const std::string why = difference(run_in(reference_, reference_runner_, ref, jobs[k].args),
                                               run_in(TARVO_EXE, own_runner_, own, jobs[k].args));
            if (why.empty()) continue;
            std::lock_guard<std::mutex> lock(mutex_);
            if (++differences_ <= 10) std::printf("DIFFERENT %s: %s\n", jobs[k].what.c_str(), why.c_str());
        }
    }

    static std::string difference(const Outcome& ref, const Outcome& own) {
        if (own.run.status != ref.run.status)
            return "status " + std::to_string(own.run.status) + ", reference " + std::to_string(ref.run.status);
        if (own.run.output != ref.run.output) return "transcript:\n" + own.run.output + "reference:\n" + ref.run.output;
        if (own.wrote != ref.wrote || own.bytes != ref.bytes) return "output bytes differ";
        return "";
    }

    std::string reference_;
    const ScratchDir& dir_;
    std::string reference_runner_, own_runner_;
    std::atomic<std::size_t> next_{0};
    std::mutex mutex_;
    long runs_ = 0, differences_ = 0;
};

}  // namespace

// With a KERNEL, this build's program runs with TARVO_KERNEL=KERNEL and the reference with its own
// choice: every kernel must give the bytes and transcripts of every other. 77: the machine lacks it.
int main(int argc, char** argv) {
    if (argc != 2 && argc != 3) {
        std::fprintf(stderr, "usage: whole_run_diff REFERENCE_TARVO [KERNEL]\n");
        return 2;
    }
    std::string own_runner = TARVO_RUNNER, reference_runner;
    if (argc == 3) {
        const std::optional<tarvo::Kernel> k = tarvo::parse_kernel(argv[2]);
        if (!k) {
            std::fprintf(stderr, "whole_run_diff: no kernel '%s'\n", argv[2]);
            return 2;
        }
        if (!tarvo::kernel_available(*k)) {
            std::printf("this machine lacks the kernel %s\n", argv[2]);
            return 77;
        }
        own_runner = std::string("env TARVO_KERNEL=") + argv[2] + " " + own_runner;
        reference_runner = "env -u TARVO_KERNEL";
    }
    ScratchDir dir;
    std::vector<Job> jobs;
    long on_plane = 0, cases_on_plane = 0;
    for (const Particle& p : particles()) {
        Body body = body_of_edge(p.dim);
        p.fill(body.rec);
        const std::string input = dir.file(p.name + ".3d");
        Analyse_teleso(body.rec);
        if (const tarvo::Status s = tarvo::save_body(input, body.rec); !s) {
            std::printf("%s\n", tarvo::describe(s).c_str());
            return 1;
        }
        for (const Cut& cut : p.large ? kLargeCuts : kCuts) {
            jobs.push_back({p.name + " " + cut[0] + " " + cut[1] + " " + cut[2], {input, "out.3d", cut[0], cut[1], cut[2]}});
            if (p.large) continue;
            const long k = voxels_on_plane(body.rec, cut);
            on_plane += k;
            cases_on_plane += k > 0;
        }
    }
    // Refusals and failures word the same on both.
    const std::string missing = dir.file("missing.3d"), shorter = dir.file("short.3d"), foreign = dir.file("foreign.3d");
    write_bytes(shorter, {0x01, 0x02, 0x03});
    write_bytes(foreign, header_bytes(0, 1291));
    jobs.push_back({"missing input", {missing, "out.3d", "1", "1", "1"}});
    jobs.push_back({"short input", {shorter, "out.3d", "1", "1", "1"}});
    jobs.push_back({"edge 1291", {foreign, "out.3d", "1", "1", "1"}});
    jobs.push_back({"usage", {dir.file("cube4.3d"), "out.3d", "1", "1"}});
    jobs.push_back({"unwritable output", {dir.file("cube4.3d"), "no/such/dir/out.3d", "1", "1", "1"}});

    Comparison compare(argv[1], dir, reference_runner, own_runner);
    compare.run_all(jobs, 2);

    std::printf("%ld whole runs compared with %s, %ld different; %ld voxels exactly on the plane in %ld of "
                "the cases\n",
                compare.runs(), argv[1], compare.differences(), on_plane, cases_on_plane);
    // Cases without voxels on the plane would leave the rounding of exact sums untried.
    if (cases_on_plane < 100) {
        std::printf("too few cases put voxels on the plane\n");
        return 1;
    }
    return compare.differences() == 0 ? 0 : 1;
}
