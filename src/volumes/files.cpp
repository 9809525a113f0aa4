#include "volumes/files.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <system_error>

namespace tarvo::volumes {
namespace {
InputHook g_input_hook = nullptr;
}  // namespace

void fail_with(const tarvo::Status& status) { throw Failure(tarvo::describe(status)); }

void set_input_hook(InputHook hook) { g_input_hook = hook; }

std::string lower_extension(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    const std::size_t dot = path.find_last_of('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return {};
    std::string ext = path.substr(dot);
    std::transform(ext.begin(), ext.end(), ext.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return ext;
}

std::optional<std::uint64_t> regular_file_bytes(const std::string& path) {
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec)) return std::nullopt;
    const auto n = std::filesystem::file_size(path, ec);
    if (ec) return std::nullopt;
    return static_cast<std::uint64_t>(n);
}

void VolumeReader::open(const std::string& path) {
    path_ = path;
    if (!reader_.open(path.c_str())) fail_with(tarvo::fail(tarvo::Error::kOpenInput, path, reader_.error()));
    if (const auto id = reader_.id(); id && g_input_hook) g_input_hook(tarvo::InputFile{*id, path});
}

std::optional<std::uint64_t> VolumeReader::regular_size() const {
    if (const std::optional<std::uint64_t> n = reader_.regular_size()) return n;
    return regular_file_bytes(path_);
}

void VolumeReader::put_back(std::vector<std::uint8_t> bytes) {
    position_ -= bytes.size();
    bytes.insert(bytes.end(), back_.begin() + static_cast<std::ptrdiff_t>(back_pos_), back_.end());
    back_ = std::move(bytes);
    back_pos_ = 0;
}

std::size_t VolumeReader::read(std::uint8_t* buf, std::size_t n) {
    const std::size_t from_back = std::min(n, back_.size() - back_pos_);
    std::copy_n(back_.begin() + static_cast<std::ptrdiff_t>(back_pos_), from_back, buf);
    back_pos_ += from_back;
    std::size_t got = 0;
    if (from_back < n && !reader_.read(buf + from_back, n - from_back, got))
        fail_with(tarvo::fail(tarvo::Error::kReadInput, path_, reader_.error()));
    position_ += from_back + got;
    return from_back + got;
}

void VolumeReader::skip(std::uint64_t n) {
    std::uint8_t buf[1 << 16];
    while (n > 0) {
        const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(n, sizeof buf));
        const std::size_t got = read(buf, want);
        if (got < want) throw Failure("'" + path_ + "' ends before its voxel data");
        n -= got;
    }
}

void VolumeReader::skip_ahead(std::uint64_t n) {
    const std::size_t from_back = static_cast<std::size_t>(std::min<std::uint64_t>(n, back_.size() - back_pos_));
    back_pos_ += from_back;
    position_ += from_back;
    n -= from_back;
    // With nothing put back, position_ is the file's offset.
    if (n == 0) return;
    if (reader_.seek(position_ + n)) {
        position_ += n;
        return;
    }
    skip(n);
}

bool VolumeReader::at_end() {
    std::uint8_t b;
    if (read(&b, 1) == 0) return true;
    put_back({b});
    return false;
}

}  // namespace tarvo::volumes
