// libFuzzer target: arbitrary bytes through the JPEG reader (libjpeg behind our
// source manager and error handling).
#include "FuzzLoad.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) { return Fuzz::Load("jpg", Data, Size); }
