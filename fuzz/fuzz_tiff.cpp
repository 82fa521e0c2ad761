// libFuzzer target: arbitrary bytes through the TIFF reader (libtiff with
// every page, both reading paths and the orientation step).
#include "FuzzLoad.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) { return Fuzz::Load("tif", Data, Size); }
