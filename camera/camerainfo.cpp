#include "camerainfo.h"

#include <cstring>

void CopyCamText(char (&dst)[64], const char *src)
{
    size_t len = src ? strnlen(src, sizeof dst - 1) : 0;
    std::memcpy(dst, src ? src : "", len);
    std::memset(dst + len, 0, sizeof dst - len);
}
