// Process-wide objects of the service, built before main runs.
#include "Log.h"
#include "mainwindow.h"

CLog Log("pemrix-web-protocal");
std::mutex g_videoListsLock;
std::vector<std::string> vecVideoName;
std::vector<std::string> g_vecVideoNum;
std::vector<std::string> vecResolution;
std::string strVideoName;
std::string Image_encoded;
