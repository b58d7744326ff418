// Record of one online camera, kept by the device manager per list entry and
// copied into the task object of an open camera.
#pragma once

struct camerainfo {
    char action[64];  // last event: "add", replaced by "remove" on unplug
    char devName[64]; // device node path (udev "DEVNAME")
    char name[64];    // model name (udev "ID_MODEL")
    int vid;
    int pid;
    int workStatus; // 1 while the camera is open, else 0
    int index;      // camera identifier
};

// Copies src into a 64-byte field, cut to 63 characters and terminated.
void CopyCamText(char (&dst)[64], const char *src);
