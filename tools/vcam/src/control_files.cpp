#include "control_files.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <new>

namespace vcam {

std::string controlDir(const std::string &testbedRoot) { return testbedRoot + "/vcam"; }

ControlBlock *mapControlFile(const std::string &path, bool create) {
    const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC | (create ? O_CREAT : 0), 0600);
    if (fd < 0)
        return nullptr;
    struct stat st {};
    if (create && ftruncate(fd, sizeof(ControlBlock)) != 0) {
        ::close(fd);
        return nullptr;
    }
    if (fstat(fd, &st) != 0 || std::size_t(st.st_size) < sizeof(ControlBlock)) {
        ::close(fd);
        return nullptr;
    }
    void *p = ::mmap(nullptr, sizeof(ControlBlock), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    ::close(fd);
    if (p == MAP_FAILED)
        return nullptr;
    if (create)
        return new (p) ControlBlock;
    auto *block = static_cast<ControlBlock *>(p);
    if (block->magic.load() != kControlMagic) {
        ::munmap(p, sizeof(ControlBlock));
        return nullptr;
    }
    return block;
}

bool writeConf(const std::string &path, const std::map<std::string, std::string> &values) {
    const std::string tmp = path + ".tmp";
    {
        std::ofstream out(tmp);
        if (!out)
            return false;
        for (const auto &kv : values)
            out << kv.first << '=' << kv.second << '\n';
        if (!out)
            return false;
    }
    return std::rename(tmp.c_str(), path.c_str()) == 0; // readers never see half a file
}

bool readConf(const std::string &path, std::map<std::string, std::string> &values) {
    std::ifstream in(path);
    if (!in)
        return false;
    std::string line;
    while (std::getline(in, line)) {
        const auto eq = line.find('=');
        if (eq != std::string::npos)
            values[line.substr(0, eq)] = line.substr(eq + 1);
    }
    return true;
}

} // namespace vcam
