// libZarnFileManager: every format read back by independent decoders with
// its size, resolution and page count; conversion, multi-page files and the
// write-beside-and-rename save.
#include "testutil.h"

#include "ZarnFileManager.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <random>
#include <regex>

using namespace imagingtest;

namespace {

// A colourful picture (gradient plus a dark bar).
std::vector<std::uint8_t> picture(int w, int h, int channels)
{
    std::vector<std::uint8_t> px(static_cast<std::size_t>(w) * h * channels);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            for (int c = 0; c < channels; ++c)
                px[(static_cast<std::size_t>(y) * w + x) * channels + c] =
                    static_cast<std::uint8_t>((y > h / 3 && y < h / 2) ? 20 : (x * 255 / w + c * 60) % 256);
    return px;
}

int save(const std::string &path, int w, int h, int channels, int dpi = 200, int quality = 90)
{
    std::vector<std::uint8_t> px = picture(w, h, channels);
    ZarnFileManager m;
    EXPECT_EQ(m.ZarnFile_SetResolution(dpi, dpi), 0);
    EXPECT_EQ(m.ZarnFile_SetCompression(quality), 0);
    return m.SaveRGB888Image(px.data(), w, h, channels * 16 + 1, path.c_str());
}

// pdfinfo's page count and the size of page `page` in points.
struct PdfInfo {
    int pages = 0;
    double width = 0, height = 0;
};

PdfInfo pdfInfo(const std::string &path, int page = 1)
{
    PdfInfo info;
    int status = 0;
    std::string out = runCommand("pdfinfo -f " + std::to_string(page) + " -l " + std::to_string(page) + " '" +
                                     path + "' 2>/dev/null",
                                 &status);
    if (status != 0)
        return info;
    std::smatch m;
    if (std::regex_search(out, m, std::regex("Pages:\\s+(\\d+)")))
        info.pages = std::stoi(m[1]);
    if (std::regex_search(out, m, std::regex("Page\\s+\\d+ size:\\s+([0-9.]+) x ([0-9.]+) pts")))
        info.width = std::stod(m[1]), info.height = std::stod(m[2]);
    return info;
}

// pdfimages -list rows: width, height, colour, components, encoding, x-ppi, y-ppi.
struct PdfImage {
    int width, height, components;
    std::string encoding;
    int ppiX, ppiY;
};

std::vector<PdfImage> pdfImages(const std::string &path)
{
    std::vector<PdfImage> images;
    std::string out = runCommand("pdfimages -list '" + path + "' 2>/dev/null");
    std::regex row("^\\s*\\d+\\s+\\d+\\s+image\\s+(\\d+)\\s+(\\d+)\\s+\\S+\\s+(\\d+)\\s+\\d+\\s+(\\S+)\\s+\\S+\\s+\\d+\\s+\\d+"
                   "\\s+(\\d+)\\s+(\\d+)");
    std::istringstream lines(out);
    std::string line;
    std::smatch m;
    while (std::getline(lines, line))
        if (std::regex_search(line, m, row))
            images.push_back({std::stoi(m[1]), std::stoi(m[2]), std::stoi(m[3]), m[4], std::stoi(m[5]),
                              std::stoi(m[6])});
    return images;
}

class FileManager : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!haveProgram("pdfinfo") || !haveProgram("pdfimages"))
            GTEST_SKIP() << "poppler-utils (pdfinfo, pdfimages) not installed";
    }
    ScratchDir dir;
};

} // namespace

TEST_F(FileManager, JpegHasSizeComponentsAndDensity)
{
    ASSERT_EQ(save(dir.file("a.jpg"), 301, 207, 3), 0);
    FileInfo colour = jpegInfo(dir.file("a.jpg"));
    ASSERT_TRUE(colour.ok);
    EXPECT_EQ(colour.width, 301);
    EXPECT_EQ(colour.height, 207);
    EXPECT_EQ(colour.channels, 3);
    EXPECT_EQ(colour.dpiX, 200);
    EXPECT_EQ(colour.dpiY, 200);
    // Upper-case extension, grey pixels, another resolution.
    ASSERT_EQ(save(dir.file("b.JPEG"), 64, 32, 1, 300), 0);
    FileInfo grey = jpegInfo(dir.file("b.JPEG"));
    EXPECT_EQ(grey.channels, 1);
    EXPECT_EQ(grey.dpiX, 300);
    // Quality is applied: a low quality gives a much smaller file.
    ASSERT_EQ(save(dir.file("q10.jpg"), 400, 300, 3, 200, 10), 0);
    ASSERT_EQ(save(dir.file("q100.jpg"), 400, 300, 3, 200, 100), 0);
    EXPECT_LT(readFile(dir.file("q10.jpg")).size() * 3, readFile(dir.file("q100.jpg")).size());
}

TEST_F(FileManager, PngAndTiffCarryTheirResolution)
{
    ASSERT_EQ(save(dir.file("a.png"), 123, 45, 3), 0);
    FileInfo png = pngInfo(dir.file("a.png"));
    ASSERT_TRUE(png.ok);
    EXPECT_EQ(png.width, 123);
    EXPECT_EQ(png.height, 45);
    EXPECT_EQ(png.channels, 3);
    EXPECT_NEAR(png.dpiX, 200, 0.1);
    EXPECT_NEAR(png.dpiY, 200, 0.1);
    ASSERT_EQ(save(dir.file("g.png"), 20, 10, 1), 0);
    EXPECT_EQ(pngInfo(dir.file("g.png")).channels, 1);

    ASSERT_EQ(save(dir.file("a.tif"), 123, 45, 3), 0);
    std::vector<FileInfo> pages = tiffPages(dir.file("a.tif"));
    ASSERT_EQ(pages.size(), 1u);
    EXPECT_TRUE(pages[0].ok);
    EXPECT_EQ(pages[0].width, 123);
    EXPECT_EQ(pages[0].height, 45);
    EXPECT_EQ(pages[0].channels, 3);
    EXPECT_FLOAT_EQ(pages[0].dpiX, 200);
    EXPECT_FLOAT_EQ(pages[0].dpiY, 200);
    ASSERT_EQ(save(dir.file("g.tiff"), 20, 10, 1), 0);
    EXPECT_EQ(tiffPages(dir.file("g.tiff")).at(0).channels, 1);
}

TEST_F(FileManager, BmpReadByImageMagick)
{
    if (!haveProgram("identify"))
        GTEST_SKIP() << "ImageMagick's identify not installed";
    ASSERT_EQ(save(dir.file("a.bmp"), 33, 17, 3), 0); // rows need padding
    ASSERT_EQ(save(dir.file("g.bmp"), 33, 17, 1), 0);
    int status = 0;
    std::string out = runCommand("identify -units PixelsPerInch -format '%w %h %[fx:round(resolution.x)] %[type] %[pixel:p{5,0}]\\n' '" +
                                     dir.file("a.bmp") + "' '" + dir.file("g.bmp") + "' 2>&1",
                                 &status);
    EXPECT_EQ(status, 0) << out;
    // Pixel (5, 0) of the test picture is (38, 98, 158): channel order kept.
    EXPECT_NE(out.find("33 17 200 Palette srgb(38,98,158)"), std::string::npos) << out;
    EXPECT_NE(out.find("33 17 200 Grayscale srgb(38,38,38)"), std::string::npos) << out;
}

TEST_F(FileManager, PdfPageSizedFromPixelsAndResolution)
{
    ASSERT_EQ(save(dir.file("a.pdf"), 400, 600, 3), 0);
    PdfInfo info = pdfInfo(dir.file("a.pdf"));
    EXPECT_EQ(info.pages, 1);
    EXPECT_NEAR(info.width, 400 * 72.0 / 200, 0.01);
    EXPECT_NEAR(info.height, 600 * 72.0 / 200, 0.01);
    std::vector<PdfImage> images = pdfImages(dir.file("a.pdf"));
    ASSERT_EQ(images.size(), 1u);
    EXPECT_EQ(images[0].width, 400);
    EXPECT_EQ(images[0].height, 600);
    EXPECT_EQ(images[0].encoding, "jpeg");
    EXPECT_EQ(images[0].ppiX, 200);
    EXPECT_EQ(images[0].ppiY, 200);
}

TEST_F(FileManager, UnknownExtensionAndBadArgumentsWriteNothing)
{
    std::vector<std::uint8_t> px = picture(10, 10, 3);
    ZarnFileManager m;
    EXPECT_EQ(m.SaveRGB888Image(px.data(), 10, 10, 0x31, dir.file("a.gif").c_str()), ZARNFILE_ERR_FORMAT);
    EXPECT_EQ(m.SaveRGB888Image(px.data(), 10, 10, 0x31, dir.file("noextension").c_str()), ZARNFILE_ERR_FORMAT);
    EXPECT_EQ(m.SaveRGB888Image(px.data(), 10, 10, 0x21, dir.file("a.jpg").c_str()), ZARNFILE_ERR_ARGUMENT);
    EXPECT_EQ(m.SaveRGB888Image(px.data(), 0, 10, 0x31, dir.file("a.jpg").c_str()), ZARNFILE_ERR_ARGUMENT);
    EXPECT_EQ(m.SaveRGB888Image(nullptr, 10, 10, 0x31, dir.file("a.jpg").c_str()), ZARNFILE_ERR_ARGUMENT);
    EXPECT_EQ(m.SaveRGB888Image(px.data(), 10, 10, 0x31, nullptr), ZARNFILE_ERR_ARGUMENT);
    EXPECT_EQ(m.SaveRGB888Image(px.data(), 10, 10, 0x31, (dir.path() + "/missing/a.jpg").c_str()),
              ZARNFILE_ERR_WRITE);
    EXPECT_EQ(m.ZarnFile_SetResolution(0, 200), ZARNFILE_ERR_ARGUMENT);
    EXPECT_EQ(m.ZarnFile_SetCompression(101), ZARNFILE_ERR_ARGUMENT);
    EXPECT_TRUE(dir.entries().empty());
}

TEST_F(FileManager, NewFilesGetOrdinaryPermissions)
{
    mode_t old = umask(022);
    ASSERT_EQ(save(dir.file("p.jpg"), 8, 8, 3), 0);
    umask(old);
    struct stat st;
    ASSERT_EQ(stat(dir.file("p.jpg").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);
}

TEST_F(FileManager, FailedSaveKeepsTheOldFileAndLeavesNoTemporary)
{
    ASSERT_EQ(save(dir.file("keep.png"), 50, 40, 3), 0);
    std::vector<std::uint8_t> before = readFile(dir.file("keep.png"));
    // Noise compresses badly: far more than the 20 kB the child may write.
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        signal(SIGXFSZ, SIG_IGN);
        rlimit limit{20000, 20000};
        setrlimit(RLIMIT_FSIZE, &limit);
        std::vector<std::uint8_t> noise(600 * 400 * 3);
        std::mt19937 rng(1);
        for (auto &b : noise)
            b = static_cast<std::uint8_t>(rng());
        ZarnFileManager m;
        int ret = m.SaveRGB888Image(noise.data(), 600, 400, 0x31, dir.file("keep.png").c_str());
        _exit(ret < 0 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the cut-off save reported success";
    EXPECT_EQ(readFile(dir.file("keep.png")), before);
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"keep.png"});

    // Converting from a source that is not a picture fails the same way.
    writeFile(dir.file("junk.jpg"), std::vector<std::uint8_t>(100, 0x42));
    ZarnFileManager m;
    EXPECT_EQ(m.ConvertImagetoImage(dir.file("junk.jpg").c_str(), dir.file("keep.png").c_str()), ZARNFILE_ERR_READ);
    EXPECT_EQ(readFile(dir.file("keep.png")), before);
}

TEST_F(FileManager, ConversionsBetweenFormats)
{
    ASSERT_EQ(save(dir.file("src.png"), 90, 70, 3), 0);
    ZarnFileManager m;
    ASSERT_EQ(m.ZarnFile_SetResolution(150, 150), 0);
    ASSERT_EQ(m.ConvertImagetoImage(dir.file("src.png").c_str(), dir.file("a.bmp").c_str()), 0);
    ASSERT_EQ(m.ConvertImagetoImage(dir.file("a.bmp").c_str(), dir.file("b.tif").c_str()), 0);
    ASSERT_EQ(m.ConvertImagetoImage(dir.file("b.tif").c_str(), dir.file("c.jpg").c_str()), 0);
    ASSERT_EQ(m.ConvertImagetoImage(dir.file("c.jpg").c_str(), dir.file("d.png").c_str()), 0);
    FileInfo d = pngInfo(dir.file("d.png"));
    EXPECT_EQ(d.width, 90);
    EXPECT_EQ(d.height, 70);
    EXPECT_NEAR(d.dpiX, 150, 0.1);
    FileInfo c = jpegInfo(dir.file("c.jpg"));
    EXPECT_EQ(c.width, 90);
    EXPECT_EQ(c.dpiX, 150);
    // The chain kept the picture: compare the JPEG's pixels with the source.
    int w = 0, h = 0;
    std::vector<std::uint8_t> px = jpegPixels(dir.file("c.jpg"), w, h);
    std::vector<std::uint8_t> src = picture(90, 70, 3);
    ASSERT_EQ(px.size(), src.size());
    double diff = 0;
    for (std::size_t i = 0; i < px.size(); ++i)
        diff += std::abs(px[i] - src[i]);
    EXPECT_LT(diff / px.size(), 6.0);

    EXPECT_EQ(m.ConvertImagetoImage(dir.file("src.png").c_str(), dir.file("x.gif").c_str()), ZARNFILE_ERR_FORMAT);
    EXPECT_EQ(m.ConvertImagetoImage(dir.file("nothere.png").c_str(), dir.file("y.png").c_str()), ZARNFILE_ERR_READ);
}

TEST_F(FileManager, JpegIntoPdfIsEmbeddedUnchanged)
{
    ASSERT_EQ(save(dir.file("photo.jpg"), 240, 160, 3), 0);
    ZarnFileManager m;
    ASSERT_EQ(m.ConvertImagetoImage(dir.file("photo.jpg").c_str(), dir.file("photo.pdf").c_str()), 0);
    PdfInfo info = pdfInfo(dir.file("photo.pdf"));
    EXPECT_EQ(info.pages, 1);
    EXPECT_NEAR(info.width, 240 * 72.0 / 200, 0.01);
    int status = 0;
    runCommand("cd '" + dir.path() + "' && pdfimages -j photo.pdf out", &status);
    ASSERT_EQ(status, 0);
    EXPECT_EQ(readFile(dir.file("out-000.jpg")), readFile(dir.file("photo.jpg")));
}

TEST_F(FileManager, PdfPageConvertsBackAtItsPixelSize)
{
    ASSERT_EQ(save(dir.file("page.png"), 160, 120, 3), 0);
    ZarnFileManager m;
    ASSERT_EQ(m.ConvertImagetoImage(dir.file("page.png").c_str(), dir.file("page.pdf").c_str()), 0);
    ASSERT_EQ(m.ConvertImagetoImage(dir.file("page.pdf").c_str(), dir.file("back.jpg").c_str()), 0);
    int w = 0, h = 0;
    std::vector<std::uint8_t> px = jpegPixels(dir.file("back.jpg"), w, h);
    ASSERT_EQ(w, 160);
    ASSERT_EQ(h, 120);
    std::vector<std::uint8_t> src = picture(160, 120, 3);
    double diff = 0;
    for (std::size_t i = 0; i < px.size(); ++i)
        diff += std::abs(px[i] - src[i]);
    EXPECT_LT(diff / px.size(), 8.0);
    // At another resolution the page is drawn larger.
    ASSERT_EQ(m.ZarnFile_SetResolution(400, 400), 0);
    ASSERT_EQ(m.ConvertImagetoImage(dir.file("page.pdf").c_str(), dir.file("big.png").c_str()), 0);
    EXPECT_EQ(pngInfo(dir.file("big.png")).width, 320);
}

TEST_F(FileManager, MultiPagePdfAndTiffInOrder)
{
    ASSERT_EQ(save(dir.file("1.jpg"), 100, 150, 3), 0);
    ASSERT_EQ(save(dir.file("2.png"), 200, 120, 1), 0);
    ASSERT_EQ(save(dir.file("3.bmp"), 80, 80, 3), 0);
    ZarnFileManager m;
    for (const char *f : {"1.jpg", "2.png", "3.bmp"})
        ASSERT_EQ(m.AddImageFiletoMultiFile(dir.file(f).c_str()), 0);
    ASSERT_EQ(m.CombineMultiFile(dir.file("all.pdf").c_str()), 0);
    EXPECT_EQ(pdfInfo(dir.file("all.pdf")).pages, 3);
    EXPECT_NEAR(pdfInfo(dir.file("all.pdf"), 2).width, 200 * 72.0 / 200, 0.01);
    std::vector<PdfImage> images = pdfImages(dir.file("all.pdf"));
    ASSERT_EQ(images.size(), 3u);
    EXPECT_EQ(images[0].width, 100);
    EXPECT_EQ(images[1].width, 200);
    EXPECT_EQ(images[1].components, 1);
    EXPECT_EQ(images[2].width, 80);
    for (const PdfImage &i : images)
        EXPECT_EQ(i.ppiX, 200);
    // The queue was used up by the combine.
    EXPECT_EQ(m.CombineMultiFile(dir.file("again.pdf").c_str()), ZARNFILE_ERR_EMPTY);

    for (const char *f : {"3.bmp", "1.jpg"})
        ASSERT_EQ(m.AddImageFiletoMultiFile(dir.file(f).c_str()), 0);
    ASSERT_EQ(m.CombineMultiFile(dir.file("all.tiff").c_str()), 0);
    std::vector<FileInfo> pages = tiffPages(dir.file("all.tiff"));
    ASSERT_EQ(pages.size(), 2u);
    EXPECT_TRUE(pages[0].ok && pages[1].ok);
    EXPECT_EQ(pages[0].width, 80);
    EXPECT_EQ(pages[1].width, 100);
    EXPECT_EQ(pages[1].height, 150);
    EXPECT_FLOAT_EQ(pages[1].dpiX, 200);

    // One unreadable member: nothing is written; single-page targets refuse.
    writeFile(dir.file("bad.png"), std::vector<std::uint8_t>(50, 1));
    m.AddImageFiletoMultiFile(dir.file("1.jpg").c_str());
    m.AddImageFiletoMultiFile(dir.file("bad.png").c_str());
    EXPECT_EQ(m.CombineMultiFile(dir.file("broken.pdf").c_str()), ZARNFILE_ERR_READ);
    m.AddImageFiletoMultiFile(dir.file("1.jpg").c_str());
    EXPECT_EQ(m.CombineMultiFile(dir.file("multi.jpg").c_str()), ZARNFILE_ERR_FORMAT);
    EXPECT_EQ(access(dir.file("broken.pdf").c_str(), F_OK), -1);
    EXPECT_EQ(access(dir.file("multi.jpg").c_str(), F_OK), -1);
}

TEST_F(FileManager, PdfNamingAHugeObjectNumberIsRefused)
{
    // A one-page PDF without a cross-reference table (poppler rebuilds one)
    // and one more object numbered `number`.
    auto pdf = [](long long number) {
        const std::string text = "%PDF-1.4\n1 0 obj<</Type/Catalog/Pages 2 0 R>>endobj\n"
                                 "2 0 obj<</Type/Pages/Kids[3 0 R]/Count 1>>endobj\n"
                                 "3 0 obj<</Type/Page/Parent 2 0 R/MediaBox[0 0 72 72]>>endobj\n" +
                                 std::to_string(number) + " 0 obj<<>>endobj\ntrailer<</Root 1 0 R>>\n%%EOF\n";
        return std::vector<std::uint8_t>(text.begin(), text.end());
    };
    ZarnFileManager m;
    writeFile(dir.file("million.pdf"), pdf(1000000));
    EXPECT_EQ(m.ConvertImagetoImage(dir.file("million.pdf").c_str(), dir.file("million.png").c_str()), 0);
    EXPECT_TRUE(pngInfo(dir.file("million.png")).ok);
    // poppler would open this one too, after 12 s and 1 GB for its table.
    writeFile(dir.file("huge.pdf"), pdf(26666666));
    EXPECT_EQ(m.ConvertImagetoImage(dir.file("huge.pdf").c_str(), dir.file("huge.png").c_str()), ZARNFILE_ERR_READ);
    EXPECT_EQ(access(dir.file("huge.png").c_str(), F_OK), -1);
}

TEST_F(FileManager, DamagedSourceFilesAreRefusedWithoutCrashing)
{
    // Valid files of each format, then cut short or with bytes overwritten.
    for (const char *name : {"s.jpg", "s.png", "s.bmp", "s.tif"})
        ASSERT_EQ(save(dir.file(name), 37, 23, 3), 0);
    ASSERT_EQ(save(dir.file("g.bmp"), 37, 23, 1), 0);
    std::mt19937 rng(9);
    int refused = 0;
    for (const char *name : {"s.jpg", "s.png", "s.bmp", "g.bmp", "s.tif"}) {
        std::vector<std::uint8_t> good = readFile(dir.file(name));
        for (int round = 0; round < 40; ++round) {
            std::vector<std::uint8_t> bad = good;
            if (round % 2)
                bad.resize(rng() % bad.size());
            else
                for (int k = 0; k < 4; ++k)
                    bad[rng() % bad.size()] = static_cast<std::uint8_t>(rng());
            std::string src = dir.file(std::string("bad-") + name);
            writeFile(src, bad);
            ZarnFileManager m;
            int ret = m.ConvertImagetoImage(src.c_str(), dir.file("out.png").c_str());
            if (ret == 0) {
                // Damage that missed the picture's structure still converts.
                EXPECT_TRUE(pngInfo(dir.file("out.png")).ok);
            } else {
                ++refused;
                EXPECT_EQ(ret, ZARNFILE_ERR_READ);
            }
        }
    }
    EXPECT_GT(refused, 0);
}
