// A camera model's settings file (INI), read the way the service reads it
// when it opens a camera of that model.
#include "backupsetting.h"
#include "harness.h"

#include <QCoreApplication>

#include <unistd.h>

namespace {
int inputs = 0;
}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    static int argc = 1;
    static char name[] = "kobix-fuzz";
    static char *argv[] = {name, nullptr};
    new QCoreApplication(argc, argv);  // lives as long as the process
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    // A name of its own per input: Qt keeps a parsed file by name and may
    // take a rewritten one of the same size and time for unchanged.
    const std::string path = fuzz::scratchDir() + "/" + std::to_string(++inputs) + ".ini";
    fuzz::writeFile(path, data, size);
    {
        backupSetting settings(QString::fromStdString(path));
        settings.value(QStringLiteral("device"), QStringLiteral("res"), QString()).toString();
        settings.value(QStringLiteral("file"), QStringLiteral("multpage"), false).toBool();
        settings.value(QStringLiteral("file"), QStringLiteral("quality"), 95).toInt();
        settings.value(QStringLiteral("file"), QStringLiteral("path"), QString()).toString();
        settings.value(QStringLiteral("image"), QStringLiteral("crop-type"), QString()).toString();
        settings.value(QStringLiteral("image"), QStringLiteral("color"), 0).toInt();
        settings.value(QStringLiteral("image"), QStringLiteral("rotate"), QString()).toString();
    }
    unlink(path.c_str());
    return 0;
}
