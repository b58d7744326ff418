// The textbook OpenCV page finder, as a baseline for the benchmark: grey,
// blur, Canny, the largest contours, the first that simplifies to four
// points.
#pragma once

#include "ZarnImage.h"

bool textbookDetector(HMCVIMAGE image, McvRect &found);
