// Page detection and deskew accuracy over the full sweep of synthetic desk
// scenes (known page corners), printed beside the targets.
#include "pagetruth.h"

#include <cstdio>
#include <cstdlib>

int main(int argc, char **argv)
{
    mcvInit();
    // An argument keeps every n-th scene only (quick looks while tuning).
    auto scenes = imagingtest::sceneSweep(argc > 1 ? std::atoi(argv[1]) : 1);
    imagingtest::Accuracy acc = imagingtest::measure(scenes);
    double foundShare = 100.0 * acc.found / acc.pictures;
    std::printf("pictures                 %d\n", acc.pictures);
    std::printf("page found               %.1f %%   (target >= 98 %%)\n", foundShare);
    std::printf("mean IoU of corners      %.4f     (target >= 0.97)\n", acc.meanIoU);
    std::printf("lowest IoU               %.4f\n", acc.minIoU);
    std::printf("deskew error mean        %.3f deg (target < 0.3)\n", acc.meanSkewError);
    std::printf("deskew error max         %.3f deg (target < 1)\n", acc.maxSkewError);
    for (const std::string &miss : acc.misses)
        std::printf("  not found: %s\n", miss.c_str());
    bool met = foundShare >= 98 && acc.meanIoU >= 0.97 && acc.meanSkewError < 0.3 && acc.maxSkewError < 1;
    std::printf("accuracy targets         %s\n", met ? "met" : "NOT met");
    return 0;
}
