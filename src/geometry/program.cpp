// The processing of the tarvo program, composed once for the program, the tools and the bindings.
#include <memory>

#include "geometry/passes.h"
#include "geometry/tape_cut.h"

namespace tarvo {

namespace {

void tell(const CutProgress& progress, CutStep step, bool done, const TelesoRecord& rec, Center c) {
    if (progress) progress(step, done, rec, c);
}

}  // namespace

// The cut measures the voxels it keeps as it goes, so the second measurement is that tally.
Center cut_tape_as_program(TelesoRecord& rec, Tape& tape, CutLengths lengths, const CutProgress& progress,
                           const Tally* measured, int threads, std::unique_ptr<geometry::PlaneRows>* plane) {
    tell(progress, CutStep::kMeasure, false, rec, {});
    // The whole's tally lets the cut skip what lies outside the particle's bounding box.
    const Tally whole = measured ? *measured : geometry::measure_tape(tape, threads);
    geometry::set_measurement(rec, whole);
    const Center c = Get_center(rec);
    tell(progress, CutStep::kMeasure, true, rec, c);
    tell(progress, CutStep::kCut, false, rec, c);
    auto rows = std::make_unique<geometry::PlaneRows>(tape.dim(), c, lengths.x, lengths.y, lengths.z);
    const Tally kept = geometry::cut_tape(tape, *rows, threads, true, &whole, plane != nullptr);
    tell(progress, CutStep::kCut, true, rec, c);
    tell(progress, CutStep::kRemeasure, false, rec, c);
    geometry::set_measurement(rec, kept);
    tell(progress, CutStep::kRemeasure, true, rec, c);
    if (plane) *plane = std::move(rows);
    return c;
}

Center cut_as_program(TelesoRecord& rec, CutLengths lengths, const CutProgress& progress, const Tally* measured,
                      int threads) {
    Tape tape = Tape::over(rec);
    return cut_tape_as_program(rec, tape, lengths, progress, measured, threads, nullptr);
}

}  // namespace tarvo
