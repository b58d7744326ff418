// Uploads for "UploadFile": files the service wrote (photos, PDFs) posted
// to a page's HTTP server as one multipart form, off the request thread.
//
// Threads: submit() from any thread (the WebSocket server thread in the
// program); the transfers run one at a time, in arrival order, on the one
// worker thread the object owns, which also calls the completion callbacks.
// Destroying the object aborts the transfer in progress, fails what still
// waits and joins the worker.
#ifndef KOBIX_UPLOADFILE_H
#define KOBIX_UPLOADFILE_H

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

class UploadFile
{
public:
    // A host that has not completed the TCP handshake (or the TLS one) in
    // 5 s is not on this network or not serving: no page waits that long.
    static constexpr long kConnectTimeoutSeconds = 5;
    // Stall: less than 1 byte/s for 10 s in either direction aborts the
    // transfer.  A live server moves bytes far faster; one that accepted and
    // went silent (or takes longer than that to answer a posted photo) would
    // otherwise hold every later upload behind it.
    static constexpr long kStallBytesPerSecond = 1;
    static constexpr long kStallSeconds = 10;
    // Cap of a whole transfer: a few scans of some MB each pass in seconds
    // over a LAN and still at about 1 Mbit/s; a server that trickles just
    // above the stall speed cannot keep the queue busy for longer.
    static constexpr long kTotalTimeoutSeconds = 120;
    // Uploads that may wait behind the one in progress; a page sending more
    // than that is refused rather than buffered without bound.
    static constexpr size_t kMaxWaiting = 8;
    // Bytes of the server's answer shown on standard output.
    static constexpr size_t kMaxShownResponse = 64 * 1024;

    // Limits of one transfer.  The program always uses the defaults above;
    // only code linking this class can choose others.
    struct Limits {
        long connectSeconds;
        long stallBytesPerSecond;
        long stallSeconds;
        long totalSeconds;
    };
    static Limits defaultLimits();

    // Result codes of uploadfile(): 0, or one of these.
    enum : int {
        kRefused = -1,       // a path or the URL was refused; nothing was sent
        kSetupFailed = -2,   // libcurl could not be set up
        kTransferFailed = -3, // libcurl reported an error
        kHttpError = -4,     // the server answered with status 400 or more
        kAborted = -5,       // the object is being destroyed
        kQueueFull = -6,     // submit() refused the upload (queue full, or stopping)
    };

    using Done = std::function<void(int result)>;

    UploadFile();
    explicit UploadFile(const Limits &limits);
    ~UploadFile();
    UploadFile(const UploadFile &) = delete;
    UploadFile &operator=(const UploadFile &) = delete;

    // Queues one upload; `done` gets uploadfile()'s result on the worker.
    // False (and `done` is not called) when kMaxWaiting uploads wait.
    bool submit(std::string name, std::string filepath, std::string url, Done done);

    // Posts the files of `filepath` (paths joined by '|') to `url` as a
    // multipart form: one part `name` per path, then "submit" = "send".
    // Returns 0 on success, else a negative code above.  Runs on the calling
    // thread (the worker, for submitted uploads); calls are serialised.
    int uploadfile(const char *name, const char *filepath, const char *url);

private:
    struct Job {
        std::string name;
        std::string filepath;
        std::string url;
        Done done;
    };
    void run();

    const Limits m_limits;
    void *m_multi;  // CURLM, for the object's lifetime (woken on stop)
    std::mutex m_transferLock;  // one transfer at a time

    std::mutex m_queueLock;  // guards m_queue and m_stopping's waits
    std::condition_variable m_queueChanged;
    std::deque<Job> m_queue;
    std::atomic<bool> m_stopping{false};
    std::thread m_worker;
};

#endif
