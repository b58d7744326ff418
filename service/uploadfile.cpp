// Uploads for "UploadFile" (see uploadfile.h).
//
// Thread: submit() on any thread; everything else on the worker.
#include "uploadfile.h"
#include "printline.h"

#include <curl/curl.h>

#include <fcntl.h>
#include <pthread.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

namespace {

// One path of the request, opened and checked before anything is sent.
struct Piece {
    std::string path;
    std::string filename;  // what follows the last '/'
    int fd = -1;
    curl_off_t size = 0;
    curl_off_t pos = 0;  // read position of the part
};

// Owns the opened pieces for the length of one transfer.
struct Pieces {
    std::vector<std::unique_ptr<Piece>> items;
    ~Pieces()
    {
        for (auto &p : items) {
            if (p->fd >= 0)
                close(p->fd);
        }
    }
};

std::vector<std::string> splitPaths(const std::string &text)
{
    std::vector<std::string> out;
    size_t from = 0;
    for (;;) {
        size_t bar = text.find('|', from);
        out.push_back(text.substr(from, bar == std::string::npos ? std::string::npos : bar - from));
        if (bar == std::string::npos)
            return out;
        from = bar + 1;
    }
}

// The leading bytes of the files the service writes: JPEG, PNG, BMP, TIFF
// (either byte order) and PDF.
bool isImageOrPdf(const unsigned char *h, ssize_t n)
{
    auto starts = [&](const char *sig, ssize_t len) { return n >= len && memcmp(h, sig, len) == 0; };
    return starts("\xFF\xD8\xFF", 3) || starts("\x89PNG\r\n\x1A\n", 8) || starts("BM", 2) ||
           starts("II*\0", 4) || starts("MM\0*", 4) || starts("%PDF-", 5);
}

// Opens one piece for reading; "" when it may be posted, else why not.
// A page names the paths, so only a regular file with the content of a
// picture or PDF is posted: never a device, FIFO or directory (opening one
// could block or read what is not a document), never any other file of the
// user.  stat() follows a symbolic link to what it names, which must pass
// the same checks.  The descriptor is opened without blocking and checked
// again, so a file swapped in after the first check is not posted; the
// transfer then reads this descriptor only.
std::string openPiece(Piece &p)
{
    struct stat st;
    if (stat(p.path.c_str(), &st) != 0)
        return strerror(errno);
    if (!S_ISREG(st.st_mode))
        return "not a regular file";
    int fd = open(p.path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return strerror(errno);
    struct stat fst;
    unsigned char head[8];
    ssize_t n = -1;
    std::string why;
    if (fstat(fd, &fst) != 0)
        why = strerror(errno);
    else if (!S_ISREG(fst.st_mode) || fst.st_dev != st.st_dev || fst.st_ino != st.st_ino)
        why = "changed while being opened";
    else if ((n = pread(fd, head, sizeof(head), 0)) < 0)
        why = strerror(errno);
    else if (!isImageOrPdf(head, n))
        why = "not a JPEG, PNG, BMP, TIFF or PDF file";
    if (!why.empty()) {
        close(fd);
        return why;
    }
    p.fd = fd;
    p.size = fst.st_size;
    return std::string();
}

// The content type libcurl gives a file part by its name, so the form is
// the one receiving servers have always been sent.
const char *typeByName(const std::string &filename)
{
    static const char *const table[][2] = {
        {".gif", "image/gif"},  {".jpg", "image/jpeg"}, {".jpeg", "image/jpeg"}, {".png", "image/png"},
        {".svg", "image/svg+xml"}, {".txt", "text/plain"}, {".htm", "text/html"}, {".html", "text/html"},
        {".pdf", "application/pdf"}, {".xml", "application/xml"},
    };
    for (const auto &row : table) {
        size_t len = strlen(row[0]);
        if (filename.size() >= len && strcasecmp(filename.c_str() + filename.size() - len, row[0]) == 0)
            return row[1];
    }
    return "application/octet-stream";
}

size_t readPart(char *buf, size_t size, size_t count, void *arg)
{
    auto *p = static_cast<Piece *>(arg);
    size_t want = std::min<curl_off_t>(static_cast<curl_off_t>(size * count), p->size - p->pos);
    if (want == 0)
        return 0;
    ssize_t got = pread(p->fd, buf, want, p->pos);
    if (got <= 0)
        return CURL_READFUNC_ABORT;  // the file shrank or cannot be read
    p->pos += got;
    return static_cast<size_t>(got);
}

int seekPart(void *arg, curl_off_t offset, int origin)
{
    auto *p = static_cast<Piece *>(arg);
    if (origin != SEEK_SET || offset < 0 || offset > p->size)
        return CURL_SEEKFUNC_CANTSEEK;
    p->pos = offset;
    return CURL_SEEKFUNC_OK;
}

// The server's answer goes to standard output, its first
// kMaxShownResponse bytes only.
struct Answer {
    size_t total = 0;
    char last = '\n';
};

size_t writeAnswer(char *data, size_t size, size_t count, void *arg)
{
    auto *a = static_cast<Answer *>(arg);
    size_t len = size * count;
    if (a->total < UploadFile::kMaxShownResponse) {
        size_t shown = std::min(len, UploadFile::kMaxShownResponse - a->total);
        fwrite(data, 1, shown, stdout);
        if (shown > 0)
            a->last = data[shown - 1];
    }
    a->total += len;
    return len;
}

bool isHttpUrl(const char *url)
{
    CURLU *u = curl_url();
    char *scheme = nullptr;
    bool ok = u && curl_url_set(u, CURLUPART_URL, url, CURLU_GUESS_SCHEME) == CURLUE_OK &&
              curl_url_get(u, CURLUPART_SCHEME, &scheme, 0) == CURLUE_OK && scheme &&
              (strcasecmp(scheme, "http") == 0 || strcasecmp(scheme, "https") == 0);
    curl_free(scheme);
    curl_url_cleanup(u);
    return ok;
}

}  // namespace

UploadFile::Limits UploadFile::defaultLimits()
{
    return Limits{kConnectTimeoutSeconds, kStallBytesPerSecond, kStallSeconds, kTotalTimeoutSeconds};
}

UploadFile::UploadFile() : UploadFile(defaultLimits()) {}

UploadFile::UploadFile(const Limits &limits) : m_limits(limits)
{
    curl_global_init(CURL_GLOBAL_DEFAULT);
    m_multi = curl_multi_init();
    m_worker = std::thread([this] {
        pthread_setname_np(pthread_self(), "kobix-upload");
        run();
    });
}

UploadFile::~UploadFile()
{
    {
        std::lock_guard<std::mutex> lock(m_queueLock);
        m_stopping = true;
    }
    m_queueChanged.notify_all();
    // Ends the wait of a transfer in progress; it then sees m_stopping.
    if (m_multi)
        curl_multi_wakeup(m_multi);
    m_worker.join();
    if (m_multi)
        curl_multi_cleanup(m_multi);
    curl_global_cleanup();
}

bool UploadFile::submit(std::string name, std::string filepath, std::string url, Done done)
{
    {
        std::lock_guard<std::mutex> lock(m_queueLock);
        if (m_stopping)
            return false;
        if (m_queue.size() >= kMaxWaiting) {
            zarn::printLine(zarn::Level::Warning, "uploadfile", "refused %s, %zu uploads wait already", filepath.c_str(),
                            m_queue.size());
            return false;
        }
        m_queue.push_back(Job{std::move(name), std::move(filepath), std::move(url), std::move(done)});
    }
    m_queueChanged.notify_one();
    return true;
}

void UploadFile::run()
{
    for (;;) {
        Job job;
        {
            std::unique_lock<std::mutex> lock(m_queueLock);
            m_queueChanged.wait(lock, [this] { return m_stopping || !m_queue.empty(); });
            if (m_queue.empty())
                return;
            job = std::move(m_queue.front());
            m_queue.pop_front();
        }
        // Uploads still waiting at destruction fail without a transfer.
        int result = m_stopping ? kAborted : uploadfile(job.name.c_str(), job.filepath.c_str(), job.url.c_str());
        if (job.done)
            job.done(result);
    }
}

int UploadFile::uploadfile(const char *name, const char *filepath, const char *url)
{
    puts("In uploadfile 00");
    std::lock_guard<std::mutex> serial(m_transferLock);
    puts("In uploadfile 01");
    printf("strUpFilePath:%s\n", filepath);

    if (!isHttpUrl(url)) {
        zarn::printLine(zarn::Level::Error, "uploadfile", "refused url %s: only http and https", url);
        return kRefused;
    }

    // Every piece is checked before anything is sent: one refused piece
    // refuses the whole upload.  An empty piece (a trailing '|', or "||")
    // names no file and reads nothing; receiving servers count one part per
    // piece, so it is posted as the empty file part a browser sends for a
    // file field left empty: filename "" and no content.
    Pieces pieces;
    for (const std::string &path : splitPaths(filepath)) {
        auto p = std::make_unique<Piece>();
        p->path = path;
        p->filename = path.substr(path.rfind('/') == std::string::npos ? 0 : path.rfind('/') + 1);
        if (!path.empty()) {
            std::string why = openPiece(*p);
            if (!why.empty()) {
                zarn::printLine(zarn::Level::Error, "uploadfile", "refused %s: %s", path.c_str(), why.c_str());
                return kRefused;
            }
        }
        pieces.items.push_back(std::move(p));
    }

    CURL *easy = curl_easy_init();
    if (!easy || !m_multi) {
        curl_easy_cleanup(easy);
        return kSetupFailed;
    }
    curl_mime *form = curl_mime_init(easy);
    for (auto &p : pieces.items) {
        curl_mimepart *part = curl_mime_addpart(form);
        curl_mime_name(part, name);
        curl_mime_filename(part, p->filename.c_str());
        curl_mime_type(part, typeByName(p->filename));
        if (p->fd >= 0)
            curl_mime_data_cb(part, p->size, readPart, seekPart, nullptr, p.get());
        else
            curl_mime_data(part, "", 0);
    }
    curl_mimepart *submit = curl_mime_addpart(form);
    curl_mime_name(submit, "submit");
    curl_mime_data(submit, "send", CURL_ZERO_TERMINATED);

    // No "Expect: 100-continue": the body follows the headers at once.
    curl_slist *headers = curl_slist_append(nullptr, "Expect:");
    char error[CURL_ERROR_SIZE] = "";
    Answer answer;
    bool ok = curl_easy_setopt(easy, CURLOPT_URL, url) == CURLE_OK &&
              curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https") == CURLE_OK &&
              curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 0L) == CURLE_OK &&
              curl_easy_setopt(easy, CURLOPT_MIMEPOST, form) == CURLE_OK &&
              curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers) == CURLE_OK &&
              curl_easy_setopt(easy, CURLOPT_VERBOSE, 1L) == CURLE_OK &&
              curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L) == CURLE_OK &&
              curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT, m_limits.connectSeconds) == CURLE_OK &&
              curl_easy_setopt(easy, CURLOPT_LOW_SPEED_LIMIT, m_limits.stallBytesPerSecond) == CURLE_OK &&
              curl_easy_setopt(easy, CURLOPT_LOW_SPEED_TIME, m_limits.stallSeconds) == CURLE_OK &&
              curl_easy_setopt(easy, CURLOPT_TIMEOUT, m_limits.totalSeconds) == CURLE_OK &&
              curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, writeAnswer) == CURLE_OK &&
              curl_easy_setopt(easy, CURLOPT_WRITEDATA, &answer) == CURLE_OK &&
              curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, error) == CURLE_OK;
    // Redirects are never followed; the text form of this option cannot
    // name "no protocol", the number form can.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    ok = ok && curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS, 0L) == CURLE_OK;
#pragma GCC diagnostic pop

    int result = kSetupFailed;
    if (ok && curl_multi_add_handle(m_multi, easy) == CURLM_OK) {
        CURLcode code = CURLE_OK;
        bool aborted = false;
        for (;;) {
            int running = 0;
            if (curl_multi_perform(m_multi, &running) != CURLM_OK || running == 0)
                break;
            if (m_stopping) {
                aborted = true;
                break;
            }
            // Woken early by the destructor (curl_multi_wakeup).
            if (curl_multi_poll(m_multi, nullptr, 0, 1000, nullptr) != CURLM_OK)
                break;
        }
        bool finished = false;
        int left = 0;
        while (CURLMsg *msg = curl_multi_info_read(m_multi, &left)) {
            if (msg->msg == CURLMSG_DONE && msg->easy_handle == easy) {
                code = msg->data.result;
                finished = true;
            }
        }
        curl_multi_remove_handle(m_multi, easy);

        long status = 0;
        curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
        if (answer.total > kMaxShownResponse)
            printf("\n[response cut: %zu of %zu bytes not shown]\n", answer.total - kMaxShownResponse, answer.total);
        else if (answer.last != '\n')
            putchar('\n');
        if (aborted) {
            zarn::printLine(zarn::Level::Info, "uploadfile", "aborted, the service is stopping");
            result = kAborted;
        } else if (!finished || code != CURLE_OK) {
            zarn::printLine(zarn::Level::Error, "uploadfile", "transfer failed (curl %d): %s", finished ? int(code) : -1,
                            error[0] ? error : curl_easy_strerror(code));
            result = kTransferFailed;
        } else if (status >= 400) {
            // 3xx is kept a success: a form post may be answered with a
            // redirect to a result page, which is not followed.
            zarn::printLine(zarn::Level::Error, "uploadfile", "server answered HTTP %ld", status);
            result = kHttpError;
        } else {
            zarn::printLine(zarn::Level::Info, "uploadfile", "server answered HTTP %ld", status);
            result = 0;
        }
    }
    curl_easy_cleanup(easy);
    curl_mime_free(form);
    curl_slist_free_all(headers);
    return result;
}
