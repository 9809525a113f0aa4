// The processing of the tarvo program, composed once for the program, the tools and the bindings.
#include "geometry/passes.h"

namespace tarvo {

namespace {

void tell(const CutProgress& progress, CutStep step, bool done, const TelesoRecord& rec, Center c) {
    if (progress) progress(step, done, rec, c);
}

}  // namespace

// The cut measures the voxels it keeps as it goes, so the second measurement is that tally.
Center cut_as_program(TelesoRecord& rec, CutLengths lengths, const CutProgress& progress, const Tally* measured,
                      int threads) {
    tell(progress, CutStep::kMeasure, false, rec, {});
    if (measured)
        geometry::set_measurement(rec, *measured);
    else
        geometry::analyse(rec, threads);
    const Center c = Get_center(rec);
    tell(progress, CutStep::kMeasure, true, rec, c);
    tell(progress, CutStep::kCut, false, rec, c);
    Tally kept;
    geometry::cut(rec, c, lengths.x, lengths.y, lengths.z, threads, &kept, measured);
    tell(progress, CutStep::kCut, true, rec, c);
    tell(progress, CutStep::kRemeasure, false, rec, c);
    geometry::set_measurement(rec, kept);
    tell(progress, CutStep::kRemeasure, true, rec, c);
    return c;
}

}  // namespace tarvo
