// Arbitrary bytes through the portable map reader (PBM, PGM, PPM, PAM, PFM).
// The handler is picked by the magic's second byte so that every input gets
// past the content test of one of the five. Anything but EImagingError
// escaping a load is a bug and crashes the fuzzer.
#include "FuzzLoad.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  const char* ext = "ppm";
  if (Size >= 2) {
    switch (Data[1]) {
      case '1':
      case '4':
        ext = "pbm";
        break;
      case '2':
      case '5':
        ext = "pgm";
        break;
      case '7':
        ext = "pam";
        break;
      case 'F':
      case 'f':
        ext = "pfm";
        break;
      default:
        break;
    }
  }
  return Fuzz::Load(ext, Data, Size);
}
