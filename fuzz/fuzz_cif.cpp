// libFuzzer target: arbitrary bytes through the Daggerfall CIF and RCI reader.
#include "FuzzLoad.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) { return Fuzz::Load("cif", Data, Size); }
