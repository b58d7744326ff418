// A file written beside its destination and renamed over it only once it is
// complete, so readers never see a partial file and a failed write leaves
// whatever was at the destination before.
#pragma once

#include <cstdio>
#include <string>

namespace zarnfile {

class AtomicFile {
public:
    explicit AtomicFile(std::string destination);
    ~AtomicFile(); // removes the temporary file unless committed
    AtomicFile(const AtomicFile &) = delete;
    AtomicFile &operator=(const AtomicFile &) = delete;

    // Creates the temporary file in the destination's directory.
    bool open();
    FILE *file() const { return m_file; }
    const std::string &temporaryPath() const { return m_temp; }

    // Flushes and closes the temporary file and renames it to the
    // destination.  False (and the temporary removed) on any failure.
    bool commit();

private:
    void discard();

    std::string m_destination;
    std::string m_temp;
    FILE *m_file = nullptr;
    bool m_committed = false;
};

} // namespace zarnfile
