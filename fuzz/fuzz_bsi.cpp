// libFuzzer target: arbitrary bytes through the Bethesda BSI reader.
#include "FuzzLoad.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) { return Fuzz::Load("bsi", Data, Size); }
