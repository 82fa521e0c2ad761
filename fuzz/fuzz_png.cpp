// libFuzzer target: arbitrary bytes through the PNG and animated PNG reader.
#include "FuzzLoad.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) { return Fuzz::Load("png", Data, Size); }
