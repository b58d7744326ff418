// Table of supported camera models: USB vendor and product numbers.
//
// A camera is supported when its (vid, pid) pair equals a row; the row number
// is what every lookup returns.  The table is product data: rows of one
// vendor need not be adjacent and new models are appended at the end.
#pragma once

enum { CAMERA_ID_ROWS = 43 };

// Row i: { vid, pid }.
extern const unsigned int cameraIDlist[CAMERA_ID_ROWS][2];

// What a lookup returns for a pair that is not in the table.
constexpr int kNoRow = -1;

// Row of cameraIDlist equal to (vid, pid), or kNoRow.  Thread-safe (const data).
int CameraIDRow(unsigned int vid, unsigned int pid);
