// libFuzzer target: arbitrary bytes through the JPEG 2000 reader (JP2 files
// and bare codestreams decoded by OpenJPEG, then placed in pixel channels).
#include "FuzzLoad.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) { return Fuzz::Load("jp2", Data, Size); }
