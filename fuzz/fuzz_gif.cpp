// libFuzzer target: arbitrary bytes through the GIF reader, every frame composed.
#include "FuzzLoad.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) { return Fuzz::Load("gif", Data, Size); }
