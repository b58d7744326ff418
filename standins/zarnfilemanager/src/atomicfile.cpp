#include "atomicfile.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <vector>

namespace zarnfile {

namespace {

// Permissions a plain creat() would give: the destination's own mode when it
// exists already, else 0666 less the process umask (read without changing
// it, so other threads are not disturbed).
mode_t targetMode(const std::string &destination)
{
    struct stat st;
    if (stat(destination.c_str(), &st) == 0)
        return st.st_mode & 07777;
    mode_t mask = 022;
    std::ifstream status("/proc/self/status");
    std::string key;
    while (status >> key) {
        if (key == "Umask:") {
            std::string value;
            status >> value;
            mask = static_cast<mode_t>(std::strtoul(value.c_str(), nullptr, 8));
            break;
        }
    }
    return 0666 & ~mask;
}

} // namespace

AtomicFile::AtomicFile(std::string destination) : m_destination(std::move(destination)) {}

AtomicFile::~AtomicFile()
{
    if (!m_committed)
        discard();
}

bool AtomicFile::open()
{
    std::string::size_type slash = m_destination.rfind('/');
    std::string dir = slash == std::string::npos ? std::string() : m_destination.substr(0, slash + 1);
    std::string base = slash == std::string::npos ? m_destination : m_destination.substr(slash + 1);
    if (base.empty())
        return false;
    std::string pattern = dir + "." + base + ".XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    int fd = mkstemp(name.data());
    if (fd < 0)
        return false;
    m_temp = name.data();
    m_file = fdopen(fd, "wb");
    if (!m_file) {
        close(fd);
        unlink(m_temp.c_str());
        m_temp.clear();
        return false;
    }
    return true;
}

bool AtomicFile::commit()
{
    if (!m_file)
        return false;
    bool ok = fflush(m_file) == 0 && !ferror(m_file);
    ok = fchmod(fileno(m_file), targetMode(m_destination)) == 0 && ok;
    ok = fclose(m_file) == 0 && ok;
    m_file = nullptr;
    if (ok && rename(m_temp.c_str(), m_destination.c_str()) == 0) {
        m_committed = true;
        return true;
    }
    discard();
    return false;
}

void AtomicFile::discard()
{
    if (m_file) {
        fclose(m_file);
        m_file = nullptr;
    }
    if (!m_temp.empty()) {
        unlink(m_temp.c_str());
        m_temp.clear();
    }
}

} // namespace zarnfile
