// CImageProcessServer: settings, saving frames and RGB buffers with them,
// conversion, the multi-page list and the outline overlay.
#include "testutil.h"

#include "cimageprocessserver.h"
#include "ZarnFileManager.h"
#include "zarnimagelibrary.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

using namespace imagingtest;
using ::testing::internal::CaptureStdout;
using ::testing::internal::GetCapturedStdout;

namespace {

const Frame &frame()
{
    static const Frame f = sceneFrame(800, 600, -8.0, 2, 21);
    return f;
}

int saveFrame(CImageProcessServer &server, const std::string &path, std::string *trace = nullptr)
{
    const Frame &f = frame();
    std::vector<std::uint8_t> copy = f.bytes; // the service's frame record
    CaptureStdout();
    int ret = server.SaveVideoData(copy.data(), f.width, f.height, 0, path.c_str());
    std::string out = GetCapturedStdout();
    if (trace)
        *trace = out;
    return ret;
}

} // namespace

TEST(ImageProcessServer, SettersValidateAndKeepOldValues)
{
    CImageProcessServer s;
    EXPECT_EQ(s.autoCrop(), -1);
    EXPECT_EQ(s.imageColorStyle(), 0);
    EXPECT_EQ(s.imageJpgQuality(), 95);
    EXPECT_EQ(s.imageRotateMode(), 0);
    EXPECT_EQ(s.SetAutoCrop(1), 0);
    EXPECT_EQ(s.SetAutoCrop(2), -1);
    EXPECT_EQ(s.SetAutoCrop(-2), -1);
    EXPECT_EQ(s.autoCrop(), 1);
    EXPECT_EQ(s.SetAutoCrop(-1), 0);
    EXPECT_EQ(s.autoCrop(), -1);
    EXPECT_EQ(s.SetImageRotateMode(3), 0);
    EXPECT_EQ(s.SetImageRotateMode(4), -1);
    EXPECT_EQ(s.SetImageRotateMode(-1), -1);
    EXPECT_EQ(s.imageRotateMode(), 3);
    EXPECT_EQ(s.SetImageColorStyle(2), 0);
    EXPECT_EQ(s.SetImageColorStyle(-1), -1);
    EXPECT_EQ(s.SetImageColorStyle(3), -1);
    EXPECT_EQ(s.imageColorStyle(), 2);
    EXPECT_EQ(s.SetImageJPGQuality(1), 0);
    EXPECT_EQ(s.SetImageJPGQuality(0), -1);
    EXPECT_EQ(s.SetImageJPGQuality(101), -1);
    EXPECT_EQ(s.imageJpgQuality(), 1);
    int a = 0, b = 0, c = 0;
    EXPECT_EQ(s.DrawLine(nullptr, a, b, c, 0), 0);
}

TEST(ImageProcessServer, YuyvGoesThroughTheImageLibrary)
{
    CImageProcessServer s;
    unsigned char yuyv[4] = {255, 128, 0, 128};
    unsigned char rgb[6] = {};
    EXPECT_EQ(s.YUYV422ToRGB888(yuyv, rgb, 6, 2, 1), 0);
    EXPECT_EQ(rgb[0], 219);
    EXPECT_EQ(rgb[3], 0);
    EXPECT_EQ(s.YUYV422ToRGB888(yuyv, rgb, 5, 2, 1), -1);
}

TEST(ImageProcessServer, FrameSavedAsIsWithTheCropLeftAlone)
{
    ScratchDir dir;
    CImageProcessServer s;
    std::string trace;
    ASSERT_EQ(saveFrame(s, dir.file("plain.jpg"), &trace), 0);
    // With crop -1 the crop line carries the load's result.
    EXPECT_NE(trace.find("[SaveVideoData]["), std::string::npos);
    EXPECT_NE(trace.find("SetAutoCrop ret:0\n"), std::string::npos) << trace;
    EXPECT_NE(trace.find("GetImageInfo ret:0\n"), std::string::npos);
    EXPECT_NE(trace.find("ZarnFileManager::ZarnFile_SetResolution ret:0\n"), std::string::npos);
    EXPECT_NE(trace.find("zarnFileLib::ZarnFile_SetCompression ret:0\n"), std::string::npos);
    EXPECT_NE(trace.find("ZarnFileManager::SaveRGB888Image ret:0\n"), std::string::npos);
    FileInfo info = jpegInfo(dir.file("plain.jpg"));
    ASSERT_TRUE(info.ok);
    EXPECT_EQ(info.width, 800);
    EXPECT_EQ(info.height, 600);
    EXPECT_EQ(info.dpiX, 200); // the file library's resolution, not the image's 96
}

TEST(ImageProcessServer, FrameDeskewedCroppedTurnedAndGrey)
{
    ScratchDir dir;
    const Frame &f = frame();
    CImageProcessServer s;
    ASSERT_EQ(s.SetAutoCrop(1), 0);
    ASSERT_EQ(saveFrame(s, dir.file("page.jpg")), 0);
    FileInfo page = jpegInfo(dir.file("page.jpg"));
    EXPECT_NEAR(page.width, f.pageWidth, f.pageWidth * 0.03);
    EXPECT_NEAR(page.height, f.pageHeight, f.pageHeight * 0.03);

    ASSERT_EQ(s.SetImageRotateMode(1), 0);
    ASSERT_EQ(s.SetImageColorStyle(1), 0);
    ASSERT_EQ(s.SetImageJPGQuality(60), 0);
    ASSERT_EQ(saveFrame(s, dir.file("turned.png")), 0);
    FileInfo turned = pngInfo(dir.file("turned.png"));
    EXPECT_EQ(turned.width, page.height); // a quarter turn swaps the sides
    EXPECT_EQ(turned.height, page.width);
    EXPECT_EQ(turned.channels, 1);
}

TEST(ImageProcessServer, FailedLoadWritesNothing)
{
    ScratchDir dir;
    CImageProcessServer s;
    std::vector<std::uint8_t> junk(320 * 240 * 3, 0x17);
    writeFile(dir.file("old.jpg"), {1, 2, 3});
    CaptureStdout();
    int ret = s.SaveVideoData(junk.data(), 320, 240, 0, dir.file("old.jpg").c_str());
    std::string trace = GetCapturedStdout();
    EXPECT_EQ(ret, ZARNIMG_ERR_NO_IMAGE);
    EXPECT_NE(trace.find("SetAutoCrop ret:-75\n"), std::string::npos) << trace;
    EXPECT_EQ(trace.find("SaveRGB888Image"), std::string::npos) << "the file library was called";
    EXPECT_EQ(readFile(dir.file("old.jpg")), (std::vector<std::uint8_t>{1, 2, 3}));
    EXPECT_EQ(s.SaveVideoData(junk.data(), 320, 240, 0, nullptr), -1);
    EXPECT_EQ(s.SaveRGB888Image(nullptr, 320, 240, 0, dir.file("x.png").c_str()), ZARNIMG_ERR_NO_IMAGE);
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"old.jpg"});
}

TEST(ImageProcessServer, RgbBufferSavedWithSettings)
{
    ScratchDir dir;
    const Frame &f = frame();
    CImageProcessServer s;
    CaptureStdout();
    ASSERT_EQ(s.SaveRGB888Image(reinterpret_cast<char *>(const_cast<std::uint8_t *>(f.rgb.data())), f.width,
                                f.height, 0, dir.file("rgb.tif").c_str()),
              0);
    ASSERT_EQ(s.SetImageRotateMode(2), 0);
    ASSERT_EQ(s.SetImageColorStyle(2), 0);
    ASSERT_EQ(s.SaveRGB888Image(reinterpret_cast<char *>(const_cast<std::uint8_t *>(f.rgb.data())), f.width,
                                f.height, 0, dir.file("bw.bmp").c_str()),
              0);
    ASSERT_EQ(s.SaveRGB888Image(reinterpret_cast<char *>(const_cast<std::uint8_t *>(f.rgb.data())), f.width,
                                f.height, 0, dir.file("rgb.xyz").c_str()),
              -2);
    std::string trace = GetCapturedStdout();
    EXPECT_NE(trace.find("[SaveRGB888Image]["), std::string::npos);
    EXPECT_EQ(trace.find("SetAutoCrop"), std::string::npos); // processing steps are not traced
    std::vector<FileInfo> pages = tiffPages(dir.file("rgb.tif"));
    ASSERT_EQ(pages.size(), 1u);
    EXPECT_EQ(pages[0].width, 800);
    EXPECT_EQ(pages[0].channels, 3);
    EXPECT_FLOAT_EQ(pages[0].dpiX, 200);
    std::vector<std::uint8_t> bmp = readFile(dir.file("bw.bmp"));
    ASSERT_GT(bmp.size(), 54u);
    EXPECT_EQ(bmp[28], 8); // one grey channel
    EXPECT_EQ(access(dir.file("rgb.xyz").c_str(), F_OK), -1);
}

TEST(ImageProcessServer, ConvertAndCombineResultCodes)
{
    ScratchDir dir;
    CImageProcessServer s;
    ASSERT_EQ(saveFrame(s, dir.file("a.jpg")), 0);
    CaptureStdout();
    EXPECT_EQ(s.ConvertImagetoImage(dir.file("missing.jpg").c_str(), dir.file("b.png").c_str()), -1);
    EXPECT_EQ(s.ConvertImagetoImage(nullptr, dir.file("b.png").c_str()), -1);
    EXPECT_EQ(s.ConvertImagetoImage(dir.file("a.jpg").c_str(), nullptr), -1);
    EXPECT_EQ(s.ConvertImagetoImage(dir.file("a.jpg").c_str(), dir.file("b.png").c_str()), 0);
    EXPECT_EQ(s.ConvertImagetoImage(dir.file("a.jpg").c_str(), dir.file("b.gif").c_str()), ZARNFILE_ERR_FORMAT);

    EXPECT_EQ(s.CombineMultiFile(dir.file("none.pdf").c_str()), -1); // nothing queued
    EXPECT_EQ(s.AddImageFiletoMultiFile(nullptr), -1);
    EXPECT_EQ(s.AddImageFiletoMultiFile(dir.file("missing.jpg").c_str()), -1);
    EXPECT_EQ(s.AddImageFiletoMultiFile(dir.file("a.jpg").c_str()), 0);
    EXPECT_EQ(s.AddImageFiletoMultiFile(dir.file("b.png").c_str()), 0);
    EXPECT_EQ(s.AddImageFiletoMultiFile(dir.file("a.jpg").c_str()), 0); // the same file twice
    EXPECT_EQ(s.multiFiles().size(), 3u);
    EXPECT_EQ(s.CombineMultiFile(nullptr), -1);
    EXPECT_EQ(s.multiFiles().size(), 3u); // refused before touching the list
    EXPECT_EQ(s.CombineMultiFile(dir.file("all.tif").c_str()), 0);
    EXPECT_TRUE(s.multiFiles().empty());
    EXPECT_EQ(tiffPages(dir.file("all.tif")).size(), 3u);

    // A combine the file library cannot do is reported, and the list is
    // emptied all the same.
    EXPECT_EQ(s.AddImageFiletoMultiFile(dir.file("a.jpg").c_str()), 0);
    EXPECT_EQ(s.CombineMultiFile(dir.file("all.png").c_str()), -1);
    EXPECT_TRUE(s.multiFiles().empty());
    std::string trace = GetCapturedStdout();
    EXPECT_NE(trace.find("[ConvertImagetoImage]["), std::string::npos);
    EXPECT_NE(trace.find("zarnFileLib::ConvertImagetoImage src:" + dir.file("a.jpg")), std::string::npos);
    EXPECT_NE(trace.find("[CombineMultiFile]["), std::string::npos);
}

TEST(ImageProcessServer, UnreadableFileIsRefused)
{
    if (geteuid() == 0)
        GTEST_SKIP() << "root reads every file";
    ScratchDir dir;
    writeFile(dir.file("secret.jpg"), {0xFF, 0xD8});
    chmod(dir.file("secret.jpg").c_str(), 0);
    CImageProcessServer s;
    EXPECT_EQ(s.AddImageFiletoMultiFile(dir.file("secret.jpg").c_str()), -1);
    EXPECT_EQ(s.ConvertImagetoImage(dir.file("secret.jpg").c_str(), dir.file("x.png").c_str()), -1);
}

TEST(ImageProcessServer, ContoursComeBackAsTheCallersOwnCopy)
{
    const Frame &f = frame();
    CImageProcessServer s;
    std::vector<std::uint8_t> copy = f.bytes;
    void *data = copy.data();
    EXPECT_EQ(s.SetContours(&data, f.width, f.height, 0, 1), 0);
    ASSERT_NE(data, nullptr);
    ASSERT_NE(data, copy.data());
    // The same pixels as the image library draws, in a buffer that outlives
    // it: width x height x 3 bytes, released with free().
    CZarnImageLibrary lib;
    ASSERT_EQ(lib.LoadVideoData(copy.data(), f.width, f.height, 0), 0);
    ASSERT_EQ(lib.DrawContours(1), 0);
    void *expected = nullptr;
    int w = 0, h = 0, fmt = 0;
    ASSERT_EQ(lib.GetImageInfo(&expected, &w, &h, &fmt), 0);
    ASSERT_EQ(w, f.width);
    ASSERT_EQ(h, f.height);
    EXPECT_EQ(std::memcmp(data, expected, static_cast<std::size_t>(w) * h * 3), 0);
    std::free(data);

    // A frame that does not decode gives no pixels.
    std::vector<std::uint8_t> junk(64 * 48 * 3, 0);
    void *none = junk.data();
    EXPECT_EQ(s.SetContours(&none, 64, 48, 0, 1), 0);
    EXPECT_EQ(none, nullptr);
    EXPECT_EQ(s.SetContours(nullptr, 64, 48, 0, 1), 0);
}
