// The library's result codes: the one table every layer returns from.
//
// Functions return 0 or one of these negative codes; the exported interface
// hands them to the program unchanged, so their values are fixed.  A code
// names what went wrong for the caller; the failing place prints its own
// line (with the operation, the device node and strerror where a system call
// failed) and the layers above only pass the code on.
#pragma once

namespace zarn {

enum Result : int {
    kOk = 0,
    kBadArgument = -1,     // out-of-range argument, null path, unreadable file
    kNoHotPlugThread = -11, // the hot-plug thread could not be started
    kTaskExists = -12,     // a task object for this camera identifier exists
    kNotUsable = -14,      // UnInit while not initialised; image call with no camera open
    kNotInitialised = -15, // library not initialised, or Init while initialised
    kNoSuchCamera = -16,   // identifier not online, or its device node does not exist
    kUnplugged = -18,      // identifier of a camera unplugged while open
    kNoAccess = -19,       // the device node is not readable and writable
    kNoTask = -20,         // no task object when opening the device
    kOpenFailed = -31,     // open() of the device node failed
    kNotOpen = -32,        // camera or device not open
    kAlreadyOpen = -33,    // camera already open
    kCannotCapture = -34,  // capability query failed, cannot capture or stream; frame-rate query failed
    kSetFailed = -35,      // a setting or streaming ioctl failed
    kReadFailed = -36,     // a reading ioctl or a buffer allocation failed
    kNotFound = -37,       // resolution or format not found, or number out of range
    kWaitFailed = -38,     // waiting for a frame failed or timed out
};

} // namespace zarn
