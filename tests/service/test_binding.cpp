// Binding of the camera library by absolute path and by name.
#include "ccamerasdk.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// Captures what the binding prints on standard output.
class StdoutCapture
{
public:
    StdoutCapture()
    {
        fflush(stdout);
        m_file = tmpfile();
        m_saved = dup(fileno(stdout));
        dup2(fileno(m_file), fileno(stdout));
    }
    std::string finish()
    {
        fflush(stdout);
        dup2(m_saved, fileno(stdout));
        close(m_saved);
        std::string text;
        rewind(m_file);
        char buf[512];
        size_t n;
        while ((n = fread(buf, 1, sizeof(buf), m_file)) > 0)
            text.append(buf, n);
        fclose(m_file);
        return text;
    }

private:
    FILE *m_file;
    int m_saved;
};

}  // namespace

TEST(ServiceBinding, FixedPathIsTheInstalledLibrary)
{
    EXPECT_STREQ(CCameraSDK::kLibraryPath, "/opt/velmora/camera/lib/libZarnKobixManager.so");
}

TEST(ServiceBinding, MissingLibraryFailsAndEveryCallFailsSafely)
{
    CCameraSDK sdk("/nonexistent/dir/libZarnKobixManager.so");
    StdoutCapture cap;
    EXPECT_EQ(sdk.LoadLib(), -1);
    std::string out = cap.finish();
    EXPECT_EQ(out.rfind("load morvane :/nonexistent/dir/libZarnKobixManager.so", 0), 0u) << out;
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1);
    EXPECT_FALSE(sdk.isLoaded());

    // Nothing is bound: every operation reports failure instead of calling
    // through a null slot.
    EXPECT_EQ(sdk.Init(), -1);
    EXPECT_EQ(sdk.Open(0), -1);
    EXPECT_EQ(sdk.Close(0), -1);
    EXPECT_EQ(sdk.GetResolutionList(0), nullptr);
    EXPECT_EQ(sdk.GetOnLineDevList(), nullptr);
    EXPECT_EQ(sdk.StartCapture(0, nullptr), -1);
    EXPECT_EQ(sdk.RegCallBackCameraChange(nullptr), -1);
    int a = 0, b = 0, c = 0;
    EXPECT_EQ(sdk.DrawLine(nullptr, a, b, c, 0), -1);
    char version[8] = "xxxxxxx";
    sdk.GetVersion(version, sizeof(version));
    EXPECT_STREQ(version, "");
}

TEST(ServiceBinding, LibraryWithoutDrawLineBinds)
{
    CCameraSDK sdk(KOBIX_FAKE_LIB);
    StdoutCapture cap;
    ASSERT_EQ(sdk.LoadLib(), 0);
    EXPECT_EQ(sdk.LoadLib(), 0);  // already bound: nothing happens
    std::string out = cap.finish();
    EXPECT_EQ(out, "[LoadLib]load camera sdk success\n");
    EXPECT_TRUE(sdk.isLoaded());

    EXPECT_EQ(sdk.Init(), -7);
    EXPECT_EQ(sdk.GetDevCount(), 42);
    EXPECT_EQ(sdk.Open(3), 0);
    EXPECT_EQ(sdk.Close(2), -102);
    EXPECT_EQ(sdk.SetCurResolutionNo(4, 2), 42);
    EXPECT_EQ(sdk.SetImageJPGQuality(77), 77);
    char *list = sdk.GetOnLineDevList();
    ASSERT_NE(list, nullptr);
    EXPECT_STREQ(list, "[]");
    free(list);
    char version[16];
    sdk.GetVersion(version, sizeof(version));
    EXPECT_STREQ(version, "fake-1");
    int a = 1, b = 2, c = 3;
    EXPECT_EQ(sdk.DrawLine(nullptr, a, b, c, 0), -1);

    StdoutCapture cap2;
    sdk.FreeLib();
    EXPECT_EQ(cap2.finish(), "free morvane success\n");
    EXPECT_FALSE(sdk.isLoaded());
    EXPECT_EQ(sdk.GetDevCount(), -1);
}

TEST(ServiceBinding, MissingRequiredFunctionFails)
{
    CCameraSDK sdk(KOBIX_FAKE_LIB_WITHOUT_OPEN);
    StdoutCapture cap;
    EXPECT_EQ(sdk.LoadLib(), -1);
    EXPECT_EQ(cap.finish(), "[LoadLib]load camera sdk failed\n");
    EXPECT_FALSE(sdk.isLoaded());
    EXPECT_EQ(sdk.Open(3), -1);
}
