// The library's process-wide state, exported under plain C names next to the
// ZarnCamera_* functions.  cameraManager is non-null exactly while the
// library is initialised; imageServer holds the image parameters.
//
// Written only by ZarnCamera_Init, ZarnCamera_UnInit and the lazy creation
// of the image service, on the caller's thread; read with atomic loads so a
// capture or hot-plug thread may look at them.
#pragma once

#include <ZarnKobixManager.h>

class CCameraDevManager;
class CImageProcessServer;

extern "C" {
ZARNCAMERA_API extern CCameraDevManager *cameraManager;
ZARNCAMERA_API extern CImageProcessServer *imageServer;
}
