// libFuzzer target: arbitrary bytes through the MNG reader (PNG and JPEG-coded frames).
#include "FuzzLoad.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) { return Fuzz::Load("mng", Data, Size); }
