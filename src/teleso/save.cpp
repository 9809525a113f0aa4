// Writing a body: the header image, then the voxel stream found a stretch at a time with
// count-trailing-zeros over the bitmap words, through large blocks that a second thread writes
// while the next one is encoded.
#include <new>

#include "teleso/bitmap.h"
#include "teleso/handoff.h"
#include "teleso/io.h"
#include "teleso/parallel.h"

namespace teleso {
namespace {

constexpr std::size_t kBlockBytes = std::size_t{1} << 20;
constexpr std::size_t kDepth = 3;  // blocks waiting to be written

Block make_block() { return Block::of(kBlockBytes); }

// Writes a block to the output and empties it; the output keeps the first failure.
struct WriteBlock {
    Output* out;
    void operator()(Block& b) const {
        out->write(b.bytes.get(), b.used);
        b.used = 0;
    }
};

class OutputSink : public BlockSink {
public:
    OutputSink(Output& out, bool threaded) : writer_(WriteBlock{&out}, threaded, kDepth, make_block) {}
    void take(Block& block) override { writer_.give(block); }
    void close() { writer_.close(); }

private:
    Handoff<Block, WriteBlock> writer_;
};

}  // namespace

void encode_voxels(const TelesoRecord& rec, StreamWriter& writer) {
    const std::int64_t total = voxel_count(rec.dim);
    int value = total > 0 ? rec.data[0] & 1 : 0;
    for (std::int64_t pos = 0; pos < total;) {
        const std::int64_t end = next_change(rec.data, pos, total, value);
        writer.run(static_cast<std::uint8_t>(value), end - pos);
        pos = end;
        value ^= 1;
    }
    writer.finish();
}

std::vector<std::uint8_t> encode_stream(const TelesoRecord& rec) {
    struct Collect : BlockSink {
        std::vector<std::uint8_t> bytes;
        void take(Block& block) override {
            bytes.insert(bytes.end(), block.bytes.get(), block.bytes.get() + block.used);
            block.used = 0;
        }
    } sink;
    StreamWriter writer(sink, Block::of(std::size_t{1} << 16));
    encode_voxels(rec, writer);
    return std::move(sink.bytes);
}

Status write_body(Output& out, const TelesoRecord& rec, int threads) {
    const auto header = header_image(rec);
    if (Status s = out.write(header.data(), header.size()); !s) return s;
    const std::int64_t total = voxel_count(rec.dim);
    if (total == 0) return {};
    try {
        OutputSink sink(out, pass_threads(total, threads) > 1);
        StreamWriter writer(sink, make_block());
        encode_voxels(rec, writer);
        sink.close();
    } catch (const std::bad_alloc&) {
        return fail(Error::kOutOfMemory, out.path());
    }
    return out.write(nullptr, 0);
}

Status save_body(const std::string& path, const TelesoRecord& rec, Protected protect) {
    Output out;
    Status s = out.open(path, protect);
    if (s) s = write_body(out, rec);
    if (s) s = out.commit();
    return s;
}

}  // namespace teleso
