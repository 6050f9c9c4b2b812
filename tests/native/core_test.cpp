// Links the native core without Python and checks a few exact results.
#include <cstdio>
#include <stdexcept>
#include <string>

#include "kelmora/geometry.hpp"
#include "kelmora/tracker.hpp"

namespace {

int failures = 0;
int passes = 0;

void expect(const char* what, bool ok) {
    if (ok) {
        ++passes;
    } else {
        ++failures;
        std::printf("FAIL %s\n", what);
    }
}

void expect_equal(const char* what, double got, double want) {
    if (got == want) {
        ++passes;
    } else {
        ++failures;
        std::printf("FAIL %s: got %.17g, want %.17g\n", what, got, want);
    }
}

}  // namespace

int main() {
    const double a[4] = {0, 0, 2, 2};
    const double b[4] = {1, 1, 3, 3};
    double out = 0.0;
    kelmora::iou_matrix_kernel(a, 1, b, 1, &out);
    expect_equal("iou of offset squares", out, 1.0 / 7.0);
    kelmora::giou_matrix_kernel(a, 1, b, 1, &out);
    expect_equal("giou of offset squares", out, 1.0 / 7.0 - 2.0 / 9.0);

    const double xyah[4] = {50, 40, 0.5, 20};
    double xyxy[4];
    kelmora::xyah_to_xyxy_rows(xyah, 1, xyxy);
    expect_equal("xyah x1", xyxy[0], 45);
    expect_equal("xyah y2", xyxy[3], 50);

    const double flat[4] = {0, 5, 4, 3};
    double converted[4];
    kelmora::xyxy_to_xyah_rows(flat, 1, converted);
    expect_equal("aspect of a reversed box", converted[2], 4.0 / 1e-7);
    expect_equal("height of a reversed box", converted[3], -2.0);

    // Id exhaustion: the last id is issued, then the tracker refuses to wrap and stays unchanged.
    kelmora::ByteTracker tracker{kelmora::TrackerConfig{}};
    tracker.set_next_id(2147483647);
    const double boxes[8] = {0, 0, 10, 20, 100, 0, 110, 20};
    const double scores[2] = {0.9, 0.9};
    kelmora::FrameArrays one{boxes, 1, scores, 1};
    tracker.update(one);
    expect("last id issued", tracker.track_states().ids.size() == 1 && tracker.track_states().ids[0] == 2147483647);
    kelmora::FrameArrays two{boxes, 2, scores, 2};
    std::string message;
    try {
        tracker.update(two);
    } catch (const std::runtime_error& e) {
        message = e.what();
    }
    expect("id exhaustion refused", message.rfind("update: track ids are exhausted", 0) == 0);
    expect("tracker unchanged after refusal", tracker.frame_index() == 0 && tracker.track_states().ids.size() == 1);
    tracker.reset();
    tracker.update(two);
    expect("ids restart after reset", tracker.track_states().ids[0] == 1 && tracker.track_states().ids[1] == 2);

    std::printf("native core: %d passed, %d failed\n", passes, failures);
    return failures == 0 ? 0 : 1;
}
