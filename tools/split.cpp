// tarvo-tools split: a labelled volume into one particle file per label, and the index that puts
// them back (merge).
#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <exception>
#include <filesystem>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "body/bitmap.h"
#include "body/tally.h"
#include "common.h"
#include "geometry/passes.h"
#include "volume.h"
#include "progress.h"
#include "subcommands.h"
#include "sys/threads.h"
#include "tarvo/file.h"
#include "volumes/labels.h"

namespace tarvo::tools {
namespace {

const char kUsageText[] =
    "Usage: tarvo-tools split VOLUME OUTDIR [--size X,Y,Z] [--type T] [--label K] [--labels A-B]\n"
    "                         [--min-voxels N] [--drop-border] [--margin M] [--connectivity C]\n"
    "                         [--spacing X[,Y,Z]] [--unit U]\n"
    "\n"
    "Writes one particle file per label of a labelled volume (label 0 is background), each in the\n"
    "smallest cubic grid that holds it with M empty voxels around it, and OUTDIR/index.csv: label,\n"
    "file, offset x/y/z of the grid in the volume, edge, voxel count, bounding box (inclusive),\n"
    "voxel size x/y/z and unit. tarvo-tools merge puts them back.\n"
    "  VOLUME          .nrrd or .nhdr (uint8, uint16 or uint32 labels, either endian, raw or gzip\n"
    "                  encoding, data attached or in a file in the header's folder), .raw, or a\n"
    "                  TIFF stack: .tif/.tiff, multi-page or one file per slice named by a pattern\n"
    "                  such as slice_%04d.tif (8, 16 or 32-bit, strips or tiles, any compression\n"
    "                  of libtiff; voxel size from the resolution tags and ImageJ's spacing)\n"
    "  --size X,Y,Z    the sizes of a .raw (x fastest, then y, then z)\n"
    "  --type T        the labels of a .raw: uint8, uint16 or uint32, little-endian\n"
    "  --label K       only label K;  --labels A-B  only labels A to B\n"
    "  --min-voxels N  only labels of at least N voxels\n"
    "  --drop-border   leave out labels that touch the volume's border\n"
    "  --margin M      empty voxels around each particle (default 0)\n"
    "  --connectivity C  the volume is a mask: its connected components (of nonzero voxels),\n"
    "                  6 (faces) or 26 (faces, edges, corners), are the labels, numbered in the\n"
    "                  order of their first voxels as scipy.ndimage.label numbers them\n"
    "  --spacing X[,Y,Z], --unit U   the voxel size (default: the NRRD's), into the index and\n"
    "                  beside each particle (NAME.3d.json)\n"
    "A label whose grid would exceed the edge limit 1290 is refused by name with its extent; the\n"
    "others are written and the status is 1. The volume is read twice, a block of rows at a time,\n"
    "on two threads; memory holds the blocks, each label's count and box, the bounding boxes' bits\n"
    "of the particles the layer crosses or waiting to be written (16 MiB at most), and two grids.\n";

struct Selection {
    std::uint32_t lo = 1, hi = UINT32_MAX;
    std::int64_t min_voxels = 1;
    bool drop_border = false;
    std::int64_t margin = 0;
};

Selection selection_of(const Arguments& a) {
    Selection s;
    if (a.value("--label") && a.value("--labels")) throw UsageError("give --label or --labels, not both");
    if (const std::string* k = a.value("--label")) s.lo = s.hi = static_cast<std::uint32_t>(integer("--label", *k, 1, UINT32_MAX));
    if (const std::string* r = a.value("--labels")) {
        const std::size_t dash = r->find('-');
        if (dash == std::string::npos) throw UsageError("--labels '" + *r + "' is not A-B");
        s.lo = static_cast<std::uint32_t>(integer("--labels", r->substr(0, dash), 1, UINT32_MAX));
        s.hi = static_cast<std::uint32_t>(integer("--labels", r->substr(dash + 1), 1, UINT32_MAX));
        if (s.lo > s.hi) throw UsageError("--labels '" + *r + "' runs backwards");
    }
    if (const std::string* n = a.value("--min-voxels")) s.min_voxels = integer("--min-voxels", *n, 1, 1L << 40);
    if (const std::string* m = a.value("--margin")) s.margin = integer("--margin", *m, 0, tarvo::kMaxDim);
    s.drop_border = a.has("--drop-border");
    return s;
}

bool touches_border(const volumes::LabelBox& b, const std::array<std::int64_t, 3>& size) {
    for (int k = 0; k < 3; ++k)
        if (b.min[k] == 0 || b.max[k] == size[k] - 1) return true;
    return false;
}

// A particle to write: its label's box, the grid's place in the volume, and while open the bits
// of its bounding box only (x fastest), so that an elongated grain does not hold its whole cube.
struct Planned {
    volumes::LabelBox box;
    std::array<std::int64_t, 3> offset{};
    std::int32_t edge = 0;
    std::string file;  // relative to OUTDIR
    std::vector<std::uint64_t> bits;

    // Voxels x0..x1-1 of row (y, z).
    void set(std::int64_t x0, std::int64_t x1, std::int64_t y, std::int64_t z) {
        const auto e = box.extent();
        if (bits.empty()) bits.assign(static_cast<std::size_t>((e[0] * e[1] * e[2] + 63) / 64), 0);
        const std::int64_t base = ((z - box.min[2]) * e[1] + (y - box.min[1])) * e[0] - box.min[0];
        const WordRange r = word_range(base + x0, base + x1);
        auto* w = bits.data();
        if (r.first == r.last) {
            w[r.first] |= r.head & r.tail;
            return;
        }
        w[r.first] |= r.head;
        for (std::int64_t k = r.first + 1; k < r.last; ++k) w[k] = kAllOnes;
        w[r.last] |= r.tail;
    }

    // The cube grid: each row of the box's bits copied into its place, 64 bits at a time.
    void fill(TelesoRecord& rec) const {
        if (bits.empty()) return;
        const auto e = box.extent();
        for (std::int64_t z = 0; z < e[2]; ++z)
            for (std::int64_t y = 0; y < e[1]; ++y) {
                const std::int64_t row = (z * e[1] + y) * e[0];
                const std::int64_t grid = ((box.min[2] - offset[2] + z) * edge + (box.min[1] - offset[1] + y)) * edge +
                                          (box.min[0] - offset[0]);
                for (std::int64_t x = 0; x < e[0]; x += kWordBits) {
                    const std::int64_t k = std::min(kWordBits, e[0] - x);
                    if (const std::uint64_t v = bits_at(row + x, k)) or_bits(rec.data, grid + x, k, v);
                }
            }
    }

    // The measurement of the grid, from the census: the box and sums moved by the offset.
    Tally tally() const {
        Tally t;
        t.count = box.voxels;
        const auto moved = [&](int k) {
            return static_cast<std::int64_t>(box.sums[k] - static_cast<std::uint64_t>(box.voxels) * static_cast<std::uint64_t>(offset[k]));
        };
        t.sx = moved(0);
        t.sy = moved(1);
        t.sz = moved(2);
        t.x_min = static_cast<std::int32_t>(box.min[0] - offset[0]);
        t.y_min = static_cast<std::int32_t>(box.min[1] - offset[1]);
        t.z_min = static_cast<std::int32_t>(box.min[2] - offset[2]);
        t.x_max = static_cast<std::int32_t>(box.max[0] - offset[0]);
        t.y_max = static_cast<std::int32_t>(box.max[1] - offset[1]);
        t.z_max = static_cast<std::int32_t>(box.max[2] - offset[2]);
        return t;
    }

    std::size_t held_bytes() const { return bits.size() * sizeof(std::uint64_t); }

private:
    // Bits i..i+k-1 (k in 1..64) as the low bits of a word.
    std::uint64_t bits_at(std::int64_t i, std::int64_t k) const {
        const auto w = static_cast<std::size_t>(i / kWordBits);
        const std::int64_t shift = i % kWordBits;
        std::uint64_t v = bits[w] >> shift;
        if (shift != 0 && shift + k > kWordBits) v |= bits[w + 1] << (kWordBits - shift);
        return v & low_mask(k);
    }
    // ORs the k low bits of v into voxels i..i+k-1 of the bitmap (padded to whole words).
    static void or_bits(std::uint8_t* data, std::int64_t i, std::int64_t k, std::uint64_t v) {
        const std::int64_t w = i / kWordBits, shift = i % kWordBits;
        store_word(data, w, load_word(data, w) | v << shift);
        if (shift != 0 && shift + k > kWordBits) store_word(data, w + 1, load_word(data, w + 1) | v >> (kWordBits - shift));
    }
};

std::string file_name(std::uint32_t label, std::uint32_t largest) {
    const int digits = static_cast<int>(std::to_string(largest).size());
    char buf[40];
    std::snprintf(buf, sizeof buf, "label_%0*u.3d", digits, label);
    return buf;
}

std::string extent_text(const std::array<std::int64_t, 3>& e) {
    return std::to_string(e[0]) + " x " + std::to_string(e[1]) + " x " + std::to_string(e[2]);
}

[[noreturn]] void too_many_labels(const std::string& in) {
    throw Failure("'" + in + "' holds more than " + std::to_string(volumes::kMaxLabels) +
                  " distinct labels: it is no labelled volume split can take");
}

// The census of layers first..first+layers-1; the negative values met are added to `negatives`.
void count_layers(const std::string& in, const LabelLayout& l, std::int64_t first, std::int64_t layers,
                  volumes::Census& census, std::uint64_t& negatives, Progress& progress) {
    LabelRows rows(in, l, first, layers);
    std::vector<std::uint32_t> row(static_cast<std::size_t>(l.size[0]));
    for (std::int64_t z = first; z < first + layers; ++z) {
        for (std::int64_t y = 0; y < l.size[1]; ++y) {
            rows.next(row.data());
            if (!census.add_row(row.data(), row.size(), y, z)) too_many_labels(in);
        }
        progress.advance(1);
    }
    if (first + layers == l.size[2]) rows.finish();
    negatives += rows.negatives();
}

// The first pass. Uncompressed labels in a file are counted in two halves on two threads, each
// half's census kept apart and merged.
volumes::Census take_census(const std::string& in, const LabelLayout& l, Progress& progress) {
    progress.stage("counting the labels of " + in, l.size[2]);
    volumes::Census census, second;
    std::uint64_t negatives = 0, second_negatives = 0;
    const bool halves = parts(l) && l.size[2] >= 2 && pass_threads(l.size[0] * l.size[1] * l.size[2], 0) > 1;
    const std::int64_t half = halves ? l.size[2] / 2 : l.size[2];
    std::exception_ptr second_failed;
    Helper helper;
    const bool two = halves && helper.start([&] {
        try {
            count_layers(in, l, half, l.size[2] - half, second, second_negatives, progress);
        } catch (...) {
            second_failed = std::current_exception();
        }
    });
    count_layers(in, l, 0, two ? half : l.size[2], census, negatives, progress);
    helper.join();
    if (second_failed) std::rethrow_exception(second_failed);
    if (two) {
        if (!census.merge(second)) too_many_labels(in);
        negatives += second_negatives;
    }
    if (negatives > 0)
        throw Failure("'" + in + "' holds " + std::to_string(negatives) +
                      " negative values: labels are 0 (background) or more; nothing written");
    return census;
}

std::string index_row(const Planned& p, const volumes::VoxelSize& size) {
    std::string r = std::to_string(p.box.label);
    const auto cell = [&r](const std::string& text) {
        r += ',';
        r += text;
    };
    cell(p.file);
    for (std::int64_t v : p.offset) cell(std::to_string(v));
    cell(std::to_string(p.edge));
    cell(std::to_string(p.box.voxels));
    for (std::int64_t v : p.box.min) cell(std::to_string(v));
    for (std::int64_t v : p.box.max) cell(std::to_string(v));
    for (double v : size.size) cell(volumes::format_number(v));
    cell(size.unit);
    r += '\n';
    return r;
}

// Writes one particle: its grid filled from the box's bits and measured by the census.
void write_particle(const Planned& p, const std::string& outdir, const volumes::VoxelSize& size, const std::string& in) {
    const std::string path = (std::filesystem::path(outdir) / p.file).string();
    Body body;
    allocate_or_fail(body, p.edge);
    p.fill(body.rec);
    geometry::set_measurement(body.rec, p.tally());
    save_measured(path, body.rec);
    if (size.known) write_sidecar(path, size, in);
}

// The particles whose layers have all been read are written on a second thread while the next
// layers are read. Where more than kMaxWaitingBytes of bits wait (many grains end in one layer),
// and at the end, the reading thread writes particles too rather than wait. A failure of the
// second thread is thrown on the reading thread at its next hand-over.
class ParticleWriter {
public:
    ParticleWriter(const std::string& outdir, const volumes::VoxelSize& size, const std::string& in)
        : outdir_(outdir), size_(size), in_(in) {
        threaded_ = helper_.start([this] { work(); });
    }
    ~ParticleWriter() {
        {
            const std::lock_guard<std::mutex> hold(mutex_);
            stopping_ = true;
        }
        changed_.notify_all();
        helper_.join();
    }
    ParticleWriter(const ParticleWriter&) = delete;
    ParticleWriter& operator=(const ParticleWriter&) = delete;

    // p stays in place until it is written; its bits are freed then.
    void write(Planned& p) {
        if (!threaded_) {
            write_one(p);
            return;
        }
        std::unique_lock<std::mutex> lock(mutex_);
        if (error_) std::rethrow_exception(error_);
        waiting_.push_back(&p);
        waiting_bytes_ += p.held_bytes();
        changed_.notify_all();
        while (waiting_bytes_ > kMaxWaitingBytes && !waiting_.empty()) write_next(lock);
    }

    // Writes what waits alongside the second thread, then waits for its last particle.
    void finish() {
        if (!threaded_) return;
        std::unique_lock<std::mutex> lock(mutex_);
        while (!error_ && !waiting_.empty()) write_next(lock);
        changed_.wait(lock, [&] { return error_ || busy_ == 0; });
        if (error_) std::rethrow_exception(error_);
    }

private:
    static constexpr std::size_t kMaxWaitingBytes = std::size_t{16} << 20;

    void write_one(Planned& p) {
        write_particle(p, outdir_, size_, in_);
        p.bits = {};
    }

    // Takes the first particle waiting and writes it with the lock released; a failure of this
    // thread is thrown, of the second one kept for the reading thread.
    void write_next(std::unique_lock<std::mutex>& lock) {
        Planned& p = *waiting_.front();
        waiting_.pop_front();
        ++busy_;
        lock.unlock();
        std::exception_ptr failed;
        const std::size_t bytes = p.held_bytes();
        try {
            write_one(p);
        } catch (...) {
            failed = std::current_exception();
        }
        lock.lock();
        --busy_;
        waiting_bytes_ -= bytes;
        if (failed && !error_) error_ = failed;
        changed_.notify_all();
        if (error_) std::rethrow_exception(error_);
    }

    void work() {
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            changed_.wait(lock, [&] { return stopping_ || !waiting_.empty(); });
            if (stopping_) return;
            try {
                write_next(lock);
            } catch (...) {
                return;  // kept in error_
            }
        }
    }

    const std::string& outdir_;
    const volumes::VoxelSize& size_;
    const std::string& in_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Planned*> waiting_;
    std::size_t waiting_bytes_ = 0;
    int busy_ = 0;  // particles being written
    bool stopping_ = false;
    std::exception_ptr error_;
    Helper helper_;  // last: joined before the members it uses go
    bool threaded_ = false;
};

// Finds the plan of a label: by a table for labels below 2^20, else by hashing.
class PlanIndex {
public:
    explicit PlanIndex(const std::vector<Planned>& plan) {
        for (std::size_t i = 0; i < plan.size(); ++i) {
            const std::uint32_t label = plan[i].box.label;
            if (label < kTableLabels) {
                if (label >= table_.size()) table_.resize(std::size_t{label} + 1, kNone);
                table_[label] = i;
            } else {
                hashed_.emplace(label, i);
            }
        }
    }
    static constexpr std::size_t kNone = SIZE_MAX;
    std::size_t find(std::uint32_t label) const {
        if (label < kTableLabels) return label < table_.size() ? table_[label] : kNone;
        const auto it = hashed_.find(label);
        return it == hashed_.end() ? kNone : it->second;
    }

private:
    static constexpr std::uint32_t kTableLabels = std::uint32_t{1} << 20;
    std::vector<std::size_t> table_;
    std::unordered_map<std::uint32_t, std::size_t> hashed_;
};

// The signal guard's handlers stay installed while the particles are written, not set and
// restored for each file.
struct HeldSignalGuard {
    HeldSignalGuard() { tarvo::hold_signal_guard(true); }
    ~HeldSignalGuard() { tarvo::hold_signal_guard(false); }
};

// The second pass: each layer's runs set voxels of the open grids; a grid is written as soon as
// the layer of its label's last voxels has passed, and freed.
void write_particles(const std::string& in, const LabelLayout& l, std::vector<Planned>& plan, const std::string& outdir,
                     const volumes::VoxelSize& size, Progress& progress) {
    const PlanIndex index(plan);
    std::vector<std::size_t> by_end(plan.size());
    for (std::size_t i = 0; i < plan.size(); ++i) by_end[i] = i;
    std::sort(by_end.begin(), by_end.end(), [&](std::size_t a, std::size_t b) { return plan[a].box.max[2] < plan[b].box.max[2]; });
    std::size_t next_close = 0;
    progress.stage("writing the particles of " + in, l.size[2]);
    LabelRows rows(in, l);
    std::vector<std::uint32_t> row(static_cast<std::size_t>(l.size[0]));
    const HeldSignalGuard guard;
    ParticleWriter writer(outdir, size, in);
    for (std::int64_t z = 0; z < l.size[2]; ++z) {
        for (std::int64_t y = 0; y < l.size[1]; ++y) {
            rows.next(row.data());
            std::uint32_t last = 0;
            std::size_t last_plan = PlanIndex::kNone;
            volumes::for_each_run(row.data(), row.size(), [&](std::size_t x, std::size_t end, std::uint32_t label) {
                if (label == 0) return;
                if (label != last) last_plan = index.find(label), last = label;
                if (last_plan != PlanIndex::kNone)
                    plan[last_plan].set(static_cast<std::int64_t>(x), static_cast<std::int64_t>(end), y, z);
            });
        }
        for (; next_close < by_end.size() && plan[by_end[next_close]].box.max[2] == z; ++next_close)
            writer.write(plan[by_end[next_close]]);
        progress.advance(1);
    }
    writer.finish();
}

int run_split(const Args& raw) {
    const Arguments a = parse_arguments(raw,
                                        {"--size", "--type", "--label", "--labels", "--min-voxels", "--margin",
                                         "--spacing", "--unit", "--connectivity"},
                                        {"--drop-border"});
    expect_positional(a, 2, "VOLUME OUTDIR");
    const std::string& in = a.positional[0];
    const std::string& outdir = a.positional[1];
    const Selection sel = selection_of(a);
    volumes::VoxelSize any;
    any.known = true;
    voxel_size_options(a.value("--spacing"), a.value("--unit"), any);  // usage errors before any reading
    int connectivity = 0;
    if (const std::string* c = a.value("--connectivity")) {
        connectivity = static_cast<int>(integer("--connectivity", *c, 6, 26));
        if (connectivity != 6 && connectivity != 26) throw UsageError("--connectivity is 6 or 26, not " + *c);
    }
    LabelLayout layout = layout_of(in, a.value("--size"), a.value("--type"));
    if (a.value("--unit") && !a.value("--spacing") && !layout.voxel_size.known)
        throw UsageError("--unit needs a voxel size: '" + in + "' gives none, so give --spacing too");
    const volumes::VoxelSize size = voxel_size_options(a.value("--spacing"), a.value("--unit"), layout.voxel_size);

    Progress progress("split");
    if (connectivity) {
        progress.stage("finding the components of " + in);
        find_components(in, layout, connectivity);
    }
    const std::vector<volumes::LabelBox> boxes = take_census(in, layout, progress).boxes();
    std::vector<Planned> plan;
    std::vector<std::string> refused;
    for (const volumes::LabelBox& b : boxes) {
        if (b.label < sel.lo || b.label > sel.hi || b.voxels < sel.min_voxels) continue;
        if (sel.drop_border && touches_border(b, layout.size)) continue;
        const auto e = b.extent();
        const std::int64_t edge = std::max({e[0], e[1], e[2]}) + 2 * sel.margin;
        if (edge > tarvo::kMaxDim) {
            refused.push_back("label " + std::to_string(b.label) + ": its extent " + extent_text(e) +
                              (sel.margin ? " with margins of " + std::to_string(sel.margin) : std::string()) +
                              " exceeds the edge limit " + std::to_string(tarvo::kMaxDim));
            continue;
        }
        Planned p;
        p.box = b;
        p.edge = static_cast<std::int32_t>(edge);
        for (int k = 0; k < 3; ++k) p.offset[k] = b.min[k] - sel.margin;
        p.file = file_name(b.label, boxes.back().label);
        plan.push_back(std::move(p));
    }
    if (plan.empty() && refused.empty())
        throw Failure("'" + in + "' has no label to split" +
                      (boxes.empty() ? ": every voxel is 0" : " among those selected") + "; nothing written");
    std::error_code ec;
    std::filesystem::create_directories(outdir, ec);
    if (ec) throw Failure("'" + outdir + "' cannot be made a folder: " + ec.message());
    write_particles(in, layout, plan, outdir, size, progress);

    // Components are numbered past a mask's type: the index records the type their labels need.
    const int width = connectivity == 0 ? layout.width : boxes.back().label < 256 ? 1 : boxes.back().label < 65536 ? 2 : 4;
    std::string index = "# tarvo-tools split: volume " + std::to_string(layout.size[0]) + " " +
                        std::to_string(layout.size[1]) + " " + std::to_string(layout.size[2]) + " " +
                        type_name(width) + "\n"
                        "label,file,offset_x,offset_y,offset_z,edge,voxels,min_x,min_y,min_z,max_x,max_y,max_z,"
                        "voxel_size_x,voxel_size_y,voxel_size_z,unit\n";
    for (const Planned& p : plan) index += index_row(p, size);
    write_or_fail((std::filesystem::path(outdir) / "index.csv").string(), index.data(), index.size());
    for (const std::string& r : refused) std::fprintf(stderr, "tarvo-tools split: refused %s\n", r.c_str());
    std::fprintf(stderr, "tarvo-tools split: '%s': %lld x %lld x %lld %s, %zu labels, %zu written, %zu refused\n",
                 in.c_str(), static_cast<long long>(layout.size[0]), static_cast<long long>(layout.size[1]),
                 static_cast<long long>(layout.size[2]), type_name(layout.width).c_str(), boxes.size(), plan.size(),
                 refused.size());
    return refused.empty() ? kDone : kFailed;
}

}  // namespace

const Subcommand kSplit{"split", "a labelled volume (.raw, .nrrd, .nhdr, .tif) into one particle per label",
                        kUsageText, run_split};

}  // namespace tarvo::tools
