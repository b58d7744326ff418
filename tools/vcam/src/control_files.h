// Files through which the harness describes its cameras to the shim inside
// the program: in <testbed root>/vcam/, per node "videoN.conf" (key=value
// lines) and per camera "camN.ctl" (a ControlBlock, mapped shared by both).
#pragma once

#include "control_block.h"

#include <map>
#include <string>

namespace vcam {

std::string controlDir(const std::string &testbedRoot);

// Creates (or opens) a control file and maps it; null on failure.
ControlBlock *mapControlFile(const std::string &path, bool create);

bool writeConf(const std::string &path, const std::map<std::string, std::string> &values);
bool readConf(const std::string &path, std::map<std::string, std::string> &values);

} // namespace vcam
