#include "general.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// "777" -> 0777; -1 when a digit is not octal.
int octalFromDigits(int digits)
{
    int mode = 0;
    int shift = 0;
    if (digits < 0)
        return -1;
    while (digits > 0) {
        int d = digits % 10;
        if (d > 7)
            return -1;
        mode |= d << shift;
        shift += 3;
        digits /= 10;
    }
    return mode;
}

bool isDirectory(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Tests one permission bit the way the service always has: owner bit for the
// owner, group bit for the group, else the bit for others.
int testPermission(const char *path, mode_t ownerBit, mode_t groupBit, mode_t otherBit)
{
    struct stat st;
    if (!path || stat(path, &st) != 0)
        return -1;
    mode_t bit = otherBit;
    if (st.st_uid == geteuid())
        bit = ownerBit;
    else if (st.st_gid == getegid())
        bit = groupBit;
    return (st.st_mode & bit) ? 0 : -1;
}

}  // namespace

int general::Zarn_Config_Mkdir(const char *path, int mode)
{
    int finalMode = mode ? octalFromDigits(mode) : 0777;
    if (!path || !*path || finalMode < 0) {
        printf("err no:%d\n", EINVAL);
        return -1;
    }
    std::string p(path);
    while (p.size() > 1 && p.back() == '/')
        p.pop_back();
    // Create each missing component, left to right.
    for (size_t i = 1; i <= p.size(); ++i) {
        if ((i < p.size() && p[i] != '/') || p[i - 1] == '/')
            continue;
        bool last = i == p.size();
        std::string part = p.substr(0, i);
        if (mkdir(part.c_str(), last ? finalMode : 0777) == 0) {
            // Like "mkdir -m", the requested mode is not narrowed by the umask.
            if (last && mode)
                chmod(part.c_str(), finalMode);
        } else if (errno != EEXIST || !isDirectory(part)) {
            printf("err no:%d\n", errno);
            return -1;
        }
    }
    return 0;
}

int general::Zarn_Config_GetTempPath(int size, char *buf)
{
    const char *home = getenv("HOME");
    if (!home || !*home || !buf || size <= 0)
        return -1;
    char dir[4096] = {};
    int n = snprintf(dir, sizeof(dir), "%s/.config/velmora/kobix-base/", home);
    if (n < 0 || n >= static_cast<int>(sizeof(dir)))
        return -1;
    if (access(dir, F_OK) != 0 && Zarn_Config_Mkdir(dir, 777) < 0)
        return -1;
    if (n >= size)
        return -1;  // a cut directory text would name another directory
    snprintf(buf, size, "%s", dir);
    return static_cast<int>(strlen(buf)) + 1;
}

int general::Zarn_Config_Is_Exit_File(const char *path)
{
    if (!path)
        return -1;
    return access(path, F_OK) == 0 ? 0 : -1;
}

int general::Zarn_Config_Is_Exit_Dir(const char *path)
{
    if (!path)
        return -1;
    DIR *d = opendir(path);
    if (!d)
        return -1;
    closedir(d);
    return 0;
}

int general::Zarn_Config_Writable(const char *path)
{
    return testPermission(path, S_IWUSR, S_IWGRP, S_IWOTH);
}

int general::Zarn_Config_Readable(const char *path)
{
    return testPermission(path, S_IRUSR, S_IRGRP, S_IROTH);
}

int general::Zarn_Config_Remove_File(const char *path)
{
    if (!path)
        return -1;
    return unlink(path);
}

int general::Zarn_Config_Copy_File(const char *src, const char *dst)
{
    if (!src || !dst)
        return -1;
    int in = open(src, O_RDONLY | O_CLOEXEC);
    if (in < 0)
        return -1;
    int out = open(dst, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (out < 0) {
        close(in);
        return -1;
    }
    int result = 0;
    char chunk[65536];
    for (;;) {
        ssize_t n = read(in, chunk, sizeof(chunk));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            result = n < 0 ? -1 : 0;
            break;
        }
        for (ssize_t done = 0; done < n;) {
            ssize_t w = write(out, chunk + done, n - done);
            if (w < 0 && errno == EINTR)
                continue;
            if (w <= 0) {
                result = -1;
                break;
            }
            done += w;
        }
        if (result < 0)
            break;
    }
    close(in);
    if (close(out) != 0)
        result = -1;
    return result;
}
