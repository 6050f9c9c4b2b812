// Links the native core without Python and checks a few exact results.
#include <cstdio>

#include "kelmora/geometry.hpp"

namespace {

int failures = 0;
int passes = 0;

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

    std::printf("native core: %d passed, %d failed\n", passes, failures);
    return failures == 0 ? 0 : 1;
}
