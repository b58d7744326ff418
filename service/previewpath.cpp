// The preview path: every frame of the streaming camera is kept as the
// latest raw frame (for photos) and, while a page asked for the preview,
// sent to it as a 1280 x 960 JPEG in base64.
//
// Thread: the frame callback runs on the capture thread of the streaming
// camera and holds m_frameLock for the whole handling of a frame.  It never
// calls into the camera library: a close asked for here (the page went
// away) is handed to the GUI thread, since a close waits for this very
// callback to return.
#include "mainwindow.h"

#include "previewencoder.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

PreviewEncoder g_TmpImage;
int g_Count = 0;

int MainWindow::CameraCpatureReciveCB(void *data, int size, int width, int height)
{
    MainWindow *w = gMainWindow;
    if (!w || !data || size <= 0)
        return 0;
    return w->handleFrame(data, size, width, height);
}

int MainWindow::handleFrame(const void *data, int size, int width, int height)
{
    printf("data:%p size:%d w:%d h:%d\n", data, size, width, height);
    printf("FrameCnt: %d \n", m_frameCnt.load());
    // Another camera's frame is being handled: this one is dropped.
    if (m_frameCnt.load() > 0)
        return 0;

    puts("data 001 ");
    std::lock_guard<std::mutex> frameGuard(m_frameLock);

    // Size the frame record.  The buffer holds width x height x 3 bytes, or
    // the frame's byte count when that is larger: a frame is never copied
    // past it.
    const size_t pixels = width > 0 && height > 0 ? static_cast<size_t>(width) * static_cast<size_t>(height) : 0;
    if (!m_frameData) {
        puts("---------------------------data 02 ");
        m_frameWidth = m_bufWidth = width;
        m_frameHeight = m_bufHeight = height;
        m_bufSize = pixels * 3;
        m_frameData = m_bufSize ? static_cast<unsigned char *>(malloc(m_bufSize)) : nullptr;
        if (!m_frameData)
            m_bufSize = 0;
    } else if (width != m_frameWidth || height != m_frameHeight) {
        if (pixels > static_cast<size_t>(m_bufWidth) * static_cast<size_t>(m_bufHeight)) {
            puts("---------------------------data 00 ");
            m_bufWidth = std::max(m_bufWidth, width);
            m_bufHeight = std::max(m_bufHeight, height);
            if (pixels * 3 > m_bufSize) {
                free(m_frameData);
                m_bufSize = pixels * 3;
                m_frameData = static_cast<unsigned char *>(malloc(m_bufSize));
                if (!m_frameData)
                    m_bufSize = 0;
            }
        } else {
            puts("---------------------------data 01 ");
        }
        m_frameWidth = width;
        m_frameHeight = height;
        // The frame kept so far has the old size: it no longer matches the
        // record and is not offered to a photo.
        m_frameSize = 0;
    }
    if (m_frameData && static_cast<size_t>(size) > m_bufSize) {
        if (auto *grown = static_cast<unsigned char *>(realloc(m_frameData, static_cast<size_t>(size)))) {
            m_frameData = grown;
            m_bufSize = static_cast<size_t>(size);
        }
    }

    // One frame in three is decoded; the two after it show the same picture.
    ++g_Count;
    if (m_frameData) {
        switch (g_Count % 3) {
        case 1:
            g_TmpImage.decode(data, size);
            break;
        case 0:
            g_Count = 0;
            break;
        default:
            break;
        }
        if (!g_TmpImage.isNull() && static_cast<size_t>(size) <= m_bufSize) {
            memcpy(m_frameData, data, static_cast<size_t>(size));
            m_frameSize = size;
            m_frameCnt.fetch_add(1);
        }
    }

    // The picture is turned and encoded only for a page that asked for the
    // preview, and only once per picture and turn.
    if (g_GetVideoBuff.load()) {
        puts("data 002 ");
        // Frames that repeat a picture leave the text as it is.
        const std::string &encoded = g_TmpImage.base64(g_Rotate.load());
        if (encoded.size() != Image_encoded.size() || encoded != Image_encoded)
            Image_encoded = encoded;
        puts("data 003");
    }
    if (m_frameCnt.load() > 0)
        m_frameCnt.fetch_sub(1);
    if (g_GetVideoBuff.load())
        GetCameraVideoBuff(std::string());
    puts("data 004 exit");
    return 0;
}

void MainWindow::forgetFrame()
{
    std::lock_guard<std::mutex> frameGuard(m_frameLock);
    m_frameSize = 0;
}

void MainWindow::GetCameraVideoBuff(std::string /*msg*/)
{
    // Called with m_frameLock held (capture thread).
    if (conn_close.load() != 0 || !g_GetVideoBuff.load()) {
        g_GetVideoBuff = false;
        conn_close = 0;
        QMetaObject::invokeMethod(this, "onclosePreviewCamera", Qt::QueuedConnection);
        return;
    }
    // The same turn as Image_encoded unless the rotation changed just now;
    // either is a whole, consistent message.
    const std::string &message = g_TmpImage.message(g_Rotate.load());
    if (m_websocket)
        m_websocket->doSendFrameText(currentConn(), message.data(), static_cast<int>(message.size()));
}
