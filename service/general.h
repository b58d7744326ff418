// Helpers for the service's configuration directory and simple file tests.
// Results follow the POSIX calls they wrap: 0 for success, -1 for failure.
// They keep no state and may be called from any thread.
#ifndef KOBIX_GENERAL_H
#define KOBIX_GENERAL_H

class general
{
public:
    // Creates `path` and its missing parents (like "mkdir -p").  `mode` holds
    // the decimal digits of an octal mode (777 means 0777) for the last
    // directory; 0 keeps the default.  No shell is involved, so blanks and
    // shell characters in the path are taken literally.  0 on success (also
    // when the directory exists), -1 on failure ("err no:%d\n" is printed).
    static int Zarn_Config_Mkdir(const char *path, int mode);
    // Writes "$HOME/.config/velmora/kobix-base/" into buf (at most size
    // bytes, zero-terminated), creating the directory when missing.  Returns
    // the text length plus 1, or -1 when HOME is unset, the text does not fit
    // or the directory cannot be created.
    static int Zarn_Config_GetTempPath(int size, char *buf);
    static int Zarn_Config_Is_Exit_File(const char *path);
    static int Zarn_Config_Is_Exit_Dir(const char *path);
    static int Zarn_Config_Writable(const char *path);
    static int Zarn_Config_Readable(const char *path);
    static int Zarn_Config_Remove_File(const char *path);
    // Copies the bytes of src to dst (created or truncated).  0 or -1.
    static int Zarn_Config_Copy_File(const char *src, const char *dst);
};

#endif
