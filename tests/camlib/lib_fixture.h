// Fixture for tests of the exported interface against virtual cameras (and
// their udev side): the
// library initialised with a camera-change receiver that keeps every text,
// and a frame receiver that records what the capture threads deliver.
#pragma once

#include "event_log.h"

#include "vcam/vcam.h"

#include <ZarnKobixManager.h>

#include <cjson/cJSON.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <thread>

struct FrameSeen {
    int size = 0, width = 0, height = 0;
    bool jpeg = false;
    std::thread::id thread;
};

struct LibReceivers {
    EventLog<std::string> texts;
    EventLog<FrameSeen> frames;
    // When >= 0, the frame receiver closes this camera on its first frame.
    std::atomic<int> closeFromCallback{-1};
    std::atomic<int> closeResult{1};
};

extern LibReceivers *g_lib;

void LibReceiveText(char *text);
int LibReceiveFrame(void *data, int size, int width, int height);

// Field of a camera-change text.
int TextInt(const std::string &text, const char *key);
std::string TextString(const std::string &text, const char *key);

class LibFixture : public ::testing::Test
{
protected:
    void SetUp() override;
    void TearDown() override;

    // Waits for the n-th text (1-based) and returns it.
    std::string WaitText(size_t n);
    // Opens the camera, selects resolution resNo and starts streaming to
    // LibReceiveFrame.
    ::testing::AssertionResult OpenAndStream(int camID, int resNo);
    // Adds a virtual camera reporting the USB numbers of cameraIDlist[row].
    vcam::Camera &AddCamera(int row);

    // The testbed exists before the library starts its monitor and outlives it.
    vcam::Testbed bed;
    LibReceivers rx;
};
