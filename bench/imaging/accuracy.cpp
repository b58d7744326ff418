// Page search accuracy and speed, this library beside the textbook OpenCV
// recipe (grey, blur, Canny, the largest contour with four corners), in one
// run:
//  * the real photographs of ../shared/data/pages (relative to the source
//    tree; skipped with a message when absent);
//  * harder synthetic scenes (photographic desks, clutter, cables, shadows,
//    perspective, small sheets, sheets at the picture's edge) and desks
//    without a page, where nothing must be reported;
//  * time per 1920x1080 and per 2592x1944 frame;
//  * the original sweep of synthetic scenes with deskew, beside its targets.
//
// bench_imaging_accuracy [STRIDE] [--hard N] [--empty N] [--list] [--dump DIR]
//   STRIDE keeps every n-th scene of the original sweep (0 skips it);
//   --list prints every picture's result; --dump writes the photographs with
//   the outlines found (green: this library, blue: textbook, red: label).
#include "figures.h"
#include "pagetruth.h"
#include "photos.h"
#include "textbook.h"

#include <opencv2/imgproc.hpp>
#include <turbojpeg.h>

#include <time.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

using namespace imagingtest;

namespace {

struct Options {
    int stride = 1, hard = 120, empty = 30;
    bool list = false;
    std::string dump;
};

const Detector kDetectors[2] = {libraryDetector, textbookDetector};

double median(std::vector<double> v)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// ---------------------------------------------------------------- photographs

struct PhotoTally {
    int photos = 0, found = 0, flat = 0; // flat: scored by area overlap
    double iouSum = 0, minIoU = 1;       // misses count 0
    double cornerDistance = -1;          // booklet, % of its diagonal
};

double iouWith(const McvRect &found, const LabelledPhoto &p)
{
    vcam::Point truth[4];
    for (int i = 0; i < 4; ++i)
        truth[i] = {p.corner[i][0], p.corner[i][1]};
    return quadIoU(found, truth);
}

// Mean distance of the corners from the labelled ones, in per cent of the
// labelled page's diagonal.
double cornerDistance(const McvRect &found, const LabelledPhoto &p)
{
    double diag = std::hypot(p.corner[2][0] - p.corner[0][0], p.corner[2][1] - p.corner[0][1]);
    double sum = 0;
    for (int i = 0; i < 4; ++i)
        sum += std::hypot(found.corner[i].x - p.corner[i][0], found.corner[i].y - p.corner[i][1]);
    return 100.0 * sum / 4 / diag;
}

void dumpOverlay(const std::string &dir, const LabelledPhoto &p, const std::vector<std::uint8_t> &rgb, int w, int h,
                 const McvRect *found[2])
{
    cv::Mat out = cv::Mat(h, w, CV_8UC3, const_cast<std::uint8_t *>(rgb.data())).clone();
    auto draw = [&](const McvRect &r, cv::Scalar c) {
        std::vector<cv::Point> q;
        for (const McvPoint &pt : r.corner)
            q.emplace_back(pt.x, pt.y);
        cv::polylines(out, q, true, c, std::max(2, w / 400));
    };
    McvRect truth{};
    for (int i = 0; i < 4; ++i)
        truth.corner[i] = {static_cast<int32_t>(p.corner[i][0]), static_cast<int32_t>(p.corner[i][1])};
    draw(truth, cv::Scalar(255, 0, 0));
    if (found[1])
        draw(*found[1], cv::Scalar(0, 0, 255));
    if (found[0])
        draw(*found[0], cv::Scalar(0, 220, 0));
    double f = 1000.0 / std::max(w, h);
    cv::resize(out, out, cv::Size(), f, f, cv::INTER_AREA);
    tjhandle tj = tjInitCompress();
    unsigned char *buf = nullptr;
    unsigned long size = 0;
    if (tj && tjCompress2(tj, out.data, out.cols, 0, out.rows, TJPF_RGB, &buf, &size, TJSAMP_420, 85, 0) == 0) {
        if (FILE *file = std::fopen((dir + "/" + p.file).c_str(), "wb")) {
            std::fwrite(buf, 1, size, file);
            std::fclose(file);
        }
    }
    tjFree(buf);
    if (tj)
        tjDestroy(tj);
}

// The photographs' results, or false when there are none.
bool realPhotos(const Options &opt, PhotoTally tally[2], std::string &folder, std::vector<std::string> &lines)
{
    folder = std::string(ZARN_SOURCE_DIR) + "/../shared/data/pages";
    std::vector<LabelledPhoto> photos = readLabels(folder);
    if (photos.empty())
        return false;
    for (const LabelledPhoto &p : photos) {
        int w = 0, h = 0;
        std::vector<std::uint8_t> rgb = decodePhoto(folder + "/" + p.file, w, h);
        if (rgb.empty()) {
            lines.push_back(p.file + ": unreadable");
            continue;
        }
        HMCVIMAGE image = mcvLoadFromRGB888Data(rgb.data(), w, h, 0, 96, 96);
        McvRect found[2] = {};
        bool ok[2];
        for (int k = 0; k < 2; ++k)
            ok[k] = image && kDetectors[k](image, found[k]);
        mcvReleaseImage(&image);
        // The curved booklet page is scored by its corners (its edge bows).
        const bool curved = p.file.find("curved") != std::string::npos;
        char cell[2][40];
        for (int k = 0; k < 2; ++k) {
            PhotoTally &t = tally[k];
            ++t.photos;
            t.found += ok[k];
            if (curved) {
                t.cornerDistance = ok[k] ? cornerDistance(found[k], p) : -1;
                std::snprintf(cell[k], sizeof cell[k], ok[k] ? "%.1f %% (corners)" : "none", t.cornerDistance);
                continue;
            }
            double iou = ok[k] ? iouWith(found[k], p) : 0;
            ++t.flat;
            t.iouSum += iou;
            t.minIoU = std::min(t.minIoU, iou);
            std::snprintf(cell[k], sizeof cell[k], ok[k] ? "%.3f" : "none", iou);
        }
        char line[200];
        std::snprintf(line, sizeof line, "  %-40s %16s %16s", p.file.c_str(), cell[0], cell[1]);
        lines.push_back(line);
        if (!opt.dump.empty()) {
            const McvRect *shown[2] = {ok[0] ? &found[0] : nullptr, ok[1] ? &found[1] : nullptr};
            dumpOverlay(opt.dump, p, rgb, w, h, shown);
        }
    }
    return true;
}

// ---------------------------------------------------------------- speed

double threadMs()
{
    timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

struct Timing {
    int frames = 0;
    double wall[2] = {0, 0}, cpu[2] = {0, 0}; // medians, ms
};

// Page search only, on decoded frames of harder scenes of one size.
Timing timeFrames(int width, int height)
{
    Timing t;
    std::vector<double> wall[2], cpu[2];
    std::vector<vcam::SceneParams> pool = hardScenes(60);
    for (const vcam::SceneParams &p : pool) {
        if (p.width != width || p.height != height || t.frames == 8)
            continue;
        ++t.frames;
        vcam::Scene scene = vcam::renderScene(p);
        HMCVIMAGE image = mcvLoadFromRGB888Data(scene.rgb.data(), scene.width, scene.height, 0, 96, 96);
        for (int rep = 0; rep < 3; ++rep)
            for (int k = 0; k < 2; ++k) {
                McvRect r;
                double c0 = threadMs();
                auto t0 = std::chrono::steady_clock::now();
                kDetectors[k](image, r);
                wall[k].push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count());
                cpu[k].push_back(threadMs() - c0);
            }
        mcvReleaseImage(&image);
    }
    for (int k = 0; k < 2; ++k) {
        t.wall[k] = median(wall[k]);
        t.cpu[k] = median(cpu[k]);
    }
    return t;
}

} // namespace

int main(int argc, char **argv)
{
    mcvInit();
    Options opt;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--hard" && i + 1 < argc)
            opt.hard = std::atoi(argv[++i]);
        else if (a == "--empty" && i + 1 < argc)
            opt.empty = std::atoi(argv[++i]);
        else if (a == "--list")
            opt.list = true;
        else if (a == "--dump" && i + 1 < argc)
            opt.dump = argv[++i];
        else
            opt.stride = std::atoi(argv[i]);
    }

    PhotoTally photos[2];
    std::string folder;
    std::vector<std::string> photoLines;
    const bool havePhotos = realPhotos(opt, photos, folder, photoLines);

    const std::vector<vcam::SceneParams> scenes = hardScenes(opt.hard), desks = emptyDesks(opt.empty);
    Detection hard[2], bare[2];
    for (int k = 0; k < 2; ++k) {
        hard[k] = measureDetection(scenes, kDetectors[k]);
        bare[k] = measureDetection(desks, kDetectors[k]);
    }
    const Timing hd = timeFrames(1920, 1080), five = timeFrames(2592, 1944);

    std::printf("Page search: this library beside the textbook recipe (grey, Canny, largest 4-point contour)\n");
    std::printf("%-44s %12s %12s\n", "", "this lib", "textbook");
    if (havePhotos) {
        std::printf("real photographs (%s)\n", folder.c_str());
        std::printf("  %-42s %8d/%-3d %8d/%-3d\n", "page found", photos[0].found, photos[0].photos, photos[1].found,
                    photos[1].photos);
        std::printf("  %-42s %12.3f %12.3f\n", "mean IoU, flat pages (misses count 0)",
                    photos[0].flat ? photos[0].iouSum / photos[0].flat : 0, photos[1].flat ? photos[1].iouSum / photos[1].flat : 0);
        std::printf("  %-42s %12.3f %12.3f\n", "lowest IoU, flat pages", photos[0].minIoU, photos[1].minIoU);
        auto corner = [](double d) {
            char text[32];
            std::snprintf(text, sizeof text, d < 0 ? "none" : "%.1f %%", d);
            return std::string(text);
        };
        std::printf("  %-42s %12s %12s\n", "curved booklet: corner distance / diagonal",
                    corner(photos[0].cornerDistance).c_str(), corner(photos[1].cornerDistance).c_str());
    } else {
        std::printf("real photographs: none at %s (skipped)\n", folder.c_str());
    }
    std::printf("harder synthetic scenes (%d)\n", opt.hard);
    std::printf("  %-42s %8d/%-3d %8d/%-3d\n", "page found", hard[0].found, hard[0].pictures, hard[1].found,
                hard[1].pictures);
    auto allMean = [](const Detection &d) { return d.pictures ? d.meanIoU * d.found / d.pictures : 0; };
    std::printf("  %-42s %12.3f %12.3f\n", "mean IoU (misses count 0)", allMean(hard[0]), allMean(hard[1]));
    std::printf("  %-42s %12.3f %12.3f\n", "mean IoU of pages found", hard[0].meanIoU, hard[1].meanIoU);
    std::printf("  %-42s %12.3f %12.3f\n", "lowest IoU", hard[0].minIoU, hard[1].minIoU);
    std::printf("desks without a page (%d)\n", opt.empty);
    std::printf("  %-42s %8d/%-3d %8d/%-3d   (target: none)\n", "page reported", bare[0].found, bare[0].pictures,
                bare[1].found, bare[1].pictures);
    std::printf("time per frame, page search only (median wall / thread CPU)\n");
    std::printf("  %-42s %5.1f / %4.1f %5.1f / %4.1f ms   (target <= 60 ms: %s)\n", "1920x1080", hd.wall[0], hd.cpu[0],
                hd.wall[1], hd.cpu[1], hd.wall[0] <= 60 ? "met" : "NOT met");
    std::printf("  %-42s %5.1f / %4.1f %5.1f / %4.1f ms\n", "2592x1944", five.wall[0], five.cpu[0], five.wall[1],
                five.cpu[1]);

    bench::Figures figures("imaging accuracy");
    if (havePhotos) {
        const double flatIoU[2] = {photos[0].flat ? photos[0].iouSum / photos[0].flat : 0,
                                   photos[1].flat ? photos[1].iouSum / photos[1].flat : 0};
        figures.add("photographs: pages found", photos[0].found, "", {},
                    {"textbook recipe", double(photos[1].found)});
        figures.add("photographs: mean IoU of flat pages", flatIoU[0], "", {}, {"textbook recipe", flatIoU[1]});
    }
    figures.add("harder scenes: pages found", hard[0].found, "", {}, {"textbook recipe", double(hard[1].found)});
    figures.add("harder scenes: mean IoU (misses count 0)", allMean(hard[0]), "", {},
                {"textbook recipe", allMean(hard[1])});
    figures.add("desks without a page: page reported", bare[0].found, "", bench::Goal::atMost(0),
                {"textbook recipe", double(bare[1].found)});
    figures.add("page search 1920x1080 wall", hd.wall[0], "ms", bench::Goal::atMost(60),
                {"textbook recipe", hd.wall[1]});
    figures.add("page search 2592x1944 wall", five.wall[0], "ms", {}, {"textbook recipe", five.wall[1]});

    if (havePhotos) {
        std::printf("\nphotographs (IoU; the booklet by corner distance)\n");
        for (const std::string &l : photoLines)
            std::printf("%s\n", l.c_str());
    }
    std::printf("\nharder scenes missed or poor (IoU < 0.8), this library:\n");
    for (const std::string &m : hard[0].misses)
        std::printf("  %s\n", m.c_str());
    for (const std::string &m : bare[0].misses)
        std::printf("  %s\n", m.c_str());
    if (opt.list) {
        std::printf("textbook recipe:\n");
        for (const std::string &m : hard[1].misses)
            std::printf("  %s\n", m.c_str());
    }

    if (opt.stride > 0) {
        Accuracy acc = measure(sceneSweep(opt.stride));
        double foundShare = 100.0 * acc.found / acc.pictures;
        std::printf("\noriginal synthetic sweep (%d pictures, this library)\n", acc.pictures);
        std::printf("  page found               %.1f %%   (target >= 98 %%)\n", foundShare);
        std::printf("  mean IoU of corners      %.4f     (target >= 0.97)\n", acc.meanIoU);
        std::printf("  lowest IoU               %.4f\n", acc.minIoU);
        std::printf("  deskew error mean        %.3f deg (target < 0.3)\n", acc.meanSkewError);
        std::printf("  deskew error max         %.3f deg (target < 1)\n", acc.maxSkewError);
        for (const std::string &miss : acc.misses)
            std::printf("    not found: %s\n", miss.c_str());
        bool met = foundShare >= 98 && acc.meanIoU >= 0.97 && acc.meanSkewError < 0.3 && acc.maxSkewError < 1;
        std::printf("  accuracy targets         %s\n", met ? "met" : "NOT met");
        figures.add("sweep: pages found", foundShare, "%", bench::Goal::atLeast(98));
        figures.add("sweep: mean IoU of corners", acc.meanIoU, "", bench::Goal::atLeast(0.97));
        figures.add("sweep: deskew error mean", acc.meanSkewError, "deg", bench::Goal::atMost(0.3));
        figures.add("sweep: deskew error max", acc.maxSkewError, "deg", bench::Goal::atMost(1));
    }
    return figures.finish() ? 0 : 1;
}
