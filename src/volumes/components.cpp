#include "volumes/components.h"

#include <algorithm>

namespace tarvo::volumes {

RunLabeller::RunLabeller(std::int64_t nx, std::int64_t ny, int connectivity)
    : nx_(nx), ny_(ny), full_(connectivity == 26), previous_(static_cast<std::size_t>(ny)), current_(static_cast<std::size_t>(ny)) {}

std::uint32_t RunLabeller::find(std::uint32_t id) {
    while (parent_[id] != id) {
        parent_[id] = parent_[parent_[id]];
        id = parent_[id];
    }
    return id;
}

// The smaller root stays the root: a component's root is the id of its first run.
void RunLabeller::unite(std::uint32_t a, std::uint32_t b) {
    a = find(a), b = find(b);
    if (a != b) parent_[std::max(a, b)] = std::min(a, b);
}

// Joins the run [x0, x1) to the runs of `row` it touches (diagonally too for 26).
void RunLabeller::touch(const std::vector<Run>& row, std::int64_t x0, std::int64_t x1, std::uint32_t& id) {
    const std::int64_t lo = full_ ? x0 - 1 : x0, hi = full_ ? x1 + 1 : x1;
    for (const Run& r : row) {
        if (r.x1 <= lo) continue;
        if (r.x0 >= hi) break;
        if (id == 0) id = r.id;
        else unite(id, r.id);
    }
}

bool RunLabeller::label_row(const std::uint32_t* mask, std::int64_t y, std::int64_t z, std::uint32_t* ids) {
    if (z != z_) {
        std::swap(previous_, current_);
        if (z != z_ + 1)
            for (auto& r : previous_) r.clear();  // the first layer has none before it
        for (auto& r : current_) r.clear();
        z_ = z;
    }
    std::vector<Run>& here = current_[static_cast<std::size_t>(y)];
    for (std::int64_t x = 0; x < nx_;) {
        if (mask[x] == 0) {
            ids[x++] = 0;
            continue;
        }
        std::int64_t end = x + 1;
        while (end < nx_ && mask[end] != 0) ++end;
        std::uint32_t id = 0;
        if (y > 0) touch(current_[static_cast<std::size_t>(y - 1)], x, end, id);
        if (z > 0) {
            touch(previous_[static_cast<std::size_t>(y)], x, end, id);
            if (full_ && y > 0) touch(previous_[static_cast<std::size_t>(y - 1)], x, end, id);
            if (full_ && y + 1 < ny_) touch(previous_[static_cast<std::size_t>(y + 1)], x, end, id);
        }
        if (id == 0) {
            if (parent_.size() > kMaxProvisional) return false;
            id = static_cast<std::uint32_t>(parent_.size());
            parent_.push_back(id);
        }
        here.push_back({x, end, id});
        std::fill(ids + x, ids + end, id);
        x = end;
    }
    return true;
}

std::vector<std::uint32_t> RunLabeller::labels() {
    std::vector<std::uint32_t> label(parent_.size(), 0);
    std::uint32_t next = 0;
    for (std::uint32_t id = 1; id < parent_.size(); ++id) {
        const std::uint32_t root = find(id);
        label[id] = root == id ? ++next : label[root];
    }
    return label;
}

}  // namespace tarvo::volumes
