// JPEG/JFIF handler over libjpeg.
//
// libjpeg is a C library: its fatal errors call error_exit, which must not
// return and must never throw a C++ exception through the library's frames.
// Each load and save therefore runs its libjpeg calls inside one function that
// sets a jump point (RunDecode / RunEncode). error_exit formats the library's
// message and jumps back there; the function returns a result code and the
// C++ caller, after destroying the library object, raises EImagingError.
// Nothing with a destructor lives inside those functions, and the callbacks
// that call into our I/O table catch every exception themselves, park it, and
// jump back the same way; it is re-raised once we are out of libjpeg.
#include "ImagingJpeg.h"

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>

extern "C" {
#include <jpeglib.h>
// After jpeglib.h: the configuration decides which messages exist.
#include <jerror.h>
}

namespace Imaging {

namespace {

constexpr int32_t JpegBufferSize = 16384;
// Rows handed to libjpeg per call; libjpeg works in strips of up to 16 rows.
constexpr int32_t RowsPerCall = 16;

// The I/O table the source and destination managers use, one per thread.
// Every load and save copies the table it is meant to use into it first
// (SelectJpegIO).
thread_local TIOFunctions JpegIO;

// ---------------------------------------------------------------------------
// Error manager
// ---------------------------------------------------------------------------

struct TJpegErrorManager {
  jpeg_error_mgr Pub;  // must come first: libjpeg sees only this part
  std::jmp_buf Jump;
  // Set once every scanline has been read: a stream that then ends without
  // its EOI marker has delivered the whole image and is accepted.
  bool Finishing;
  // The library message that stopped the coder (valid after a jump).
  int MessageCode;
  char Message[JMSG_LENGTH_MAX];
  // An exception raised by the I/O table inside a callback, re-raised by
  // the caller once libjpeg has been left.
  std::exception_ptr* IOFailure;
};

TJpegErrorManager* ErrorManagerOf(j_common_ptr Info) { return reinterpret_cast<TJpegErrorManager*>(Info->err); }

[[noreturn]] void JpegErrorExit(j_common_ptr Info) {
  TJpegErrorManager* err = ErrorManagerOf(Info);
  err->MessageCode = Info->err->msg_code;
  (*Info->err->format_message)(Info, err->Message);
  std::longjmp(err->Jump, 1);
}

// Warnings are not shown anywhere.
void JpegOutputMessage(j_common_ptr) {}

// The one warning that fails the load like an error, with the library's
// message: the stream ended before the image did. Every other warning is
// dropped: stray bytes between markers, odd JFIF versions, and damaged
// entropy-coded segments the decoder resynchronises after (real files with
// such damage load in every peer, with local pixel errors only).
bool IsDataLossWarning(int Code) { return Code == JWRN_JPEG_EOF; }

void JpegEmitMessage(j_common_ptr Info, int Level) {
  if (Level >= 0) return;  // trace messages
  TJpegErrorManager* err = ErrorManagerOf(Info);
  int code = Info->err->msg_code;
  if (IsDataLossWarning(code) && !(err->Finishing && code == JWRN_JPEG_EOF)) JpegErrorExit(Info);
  Info->err->num_warnings++;
}

void SetupErrorManager(TJpegErrorManager& Err, std::exception_ptr* IOFailure) {
  jpeg_std_error(&Err.Pub);
  Err.Pub.error_exit = JpegErrorExit;
  Err.Pub.output_message = JpegOutputMessage;
  Err.Pub.emit_message = JpegEmitMessage;
  Err.Finishing = false;
  Err.MessageCode = 0;
  Err.Message[0] = 0;
  Err.IOFailure = IOFailure;
}

// Runs one call of the I/O table from inside a libjpeg callback. An exception
// is parked and the coder is left through the jump point.
template <typename TCall>
int32_t GuardedIO(j_common_ptr Info, TCall Call) {
  int32_t result = 0;
  bool failed = false;
  try {
    result = Call();
  } catch (...) {
    *ErrorManagerOf(Info)->IOFailure = std::current_exception();
    failed = true;
  }
  if (failed) std::longjmp(ErrorManagerOf(Info)->Jump, 1);
  return result;
}

// ---------------------------------------------------------------------------
// Source manager
// ---------------------------------------------------------------------------

struct TJpegSource {
  jpeg_source_mgr Pub;  // must come first
  THandle Handle;
  JOCTET* Buffer;
  // The buffer holds the EOI marker put in at the end of the stream rather
  // than bytes of the stream.
  bool Inserted;
};

void InitSource(j_decompress_ptr) {}

boolean FillInputBuffer(j_decompress_ptr Info) {
  auto* src = reinterpret_cast<TJpegSource*>(Info->src);
  int32_t count = GuardedIO(reinterpret_cast<j_common_ptr>(Info),
                            [&] { return JpegIO.Read(src->Handle, src->Buffer, JpegBufferSize); });
  src->Inserted = count <= 0;
  if (src->Inserted) {
    // End of stream: report it (fatal unless the image is complete) and
    // give the decoder an EOI marker so that it stops.
    WARNMS(Info, JWRN_JPEG_EOF);
    src->Buffer[0] = 0xFF;
    src->Buffer[1] = JPEG_EOI;
    count = 2;
  }
  src->Pub.next_input_byte = src->Buffer;
  src->Pub.bytes_in_buffer = size_t(count);
  return TRUE;
}

void SkipInputData(j_decompress_ptr Info, long Count) {
  auto* src = reinterpret_cast<TJpegSource*>(Info->src);
  if (Count <= 0) return;
  while (Count > long(src->Pub.bytes_in_buffer)) {
    Count -= long(src->Pub.bytes_in_buffer);
    FillInputBuffer(Info);
  }
  src->Pub.next_input_byte += Count;
  src->Pub.bytes_in_buffer -= size_t(Count);
}

// Puts the stream just behind the data the decoder consumed.
void TermSource(j_decompress_ptr Info) {
  auto* src = reinterpret_cast<TJpegSource*>(Info->src);
  if (src->Inserted || src->Pub.bytes_in_buffer == 0) return;
  int32_t unread = int32_t(src->Pub.bytes_in_buffer);
  GuardedIO(reinterpret_cast<j_common_ptr>(Info), [&] { return JpegIO.Seek(src->Handle, -unread, smFromCurrent); });
  src->Pub.bytes_in_buffer = 0;
}

void InstallSource(j_decompress_ptr Info, THandle Handle) {
  auto* common = reinterpret_cast<j_common_ptr>(Info);
  auto* src = static_cast<TJpegSource*>((*Info->mem->alloc_small)(common, JPOOL_PERMANENT, sizeof(TJpegSource)));
  src->Buffer = static_cast<JOCTET*>((*Info->mem->alloc_small)(common, JPOOL_PERMANENT, JpegBufferSize));
  src->Handle = Handle;
  src->Inserted = false;
  src->Pub.init_source = InitSource;
  src->Pub.fill_input_buffer = FillInputBuffer;
  src->Pub.skip_input_data = SkipInputData;
  src->Pub.resync_to_restart = jpeg_resync_to_restart;
  src->Pub.term_source = TermSource;
  src->Pub.bytes_in_buffer = 0;
  src->Pub.next_input_byte = nullptr;
  Info->src = &src->Pub;
}

// ---------------------------------------------------------------------------
// Destination manager
// ---------------------------------------------------------------------------

struct TJpegDestination {
  jpeg_destination_mgr Pub;  // must come first
  THandle Handle;
  JOCTET* Buffer;
};

void InitDestination(j_compress_ptr Info) {
  auto* dest = reinterpret_cast<TJpegDestination*>(Info->dest);
  dest->Buffer = static_cast<JOCTET*>(
      (*Info->mem->alloc_small)(reinterpret_cast<j_common_ptr>(Info), JPOOL_IMAGE, JpegBufferSize));
  dest->Pub.next_output_byte = dest->Buffer;
  dest->Pub.free_in_buffer = JpegBufferSize;
}

void WriteDestination(j_compress_ptr Info, int32_t Count) {
  auto* dest = reinterpret_cast<TJpegDestination*>(Info->dest);
  GuardedIO(reinterpret_cast<j_common_ptr>(Info), [&] { return JpegIO.Write(dest->Handle, dest->Buffer, Count); });
}

boolean EmptyOutputBuffer(j_compress_ptr Info) {
  auto* dest = reinterpret_cast<TJpegDestination*>(Info->dest);
  WriteDestination(Info, JpegBufferSize);
  dest->Pub.next_output_byte = dest->Buffer;
  dest->Pub.free_in_buffer = JpegBufferSize;
  return TRUE;
}

void TermDestination(j_compress_ptr Info) {
  auto* dest = reinterpret_cast<TJpegDestination*>(Info->dest);
  int32_t count = JpegBufferSize - int32_t(dest->Pub.free_in_buffer);
  if (count > 0) WriteDestination(Info, count);
}

void InstallDestination(j_compress_ptr Info, THandle Handle) {
  auto* dest = static_cast<TJpegDestination*>((*Info->mem->alloc_small)(reinterpret_cast<j_common_ptr>(Info),
                                                                         JPOOL_PERMANENT, sizeof(TJpegDestination)));
  dest->Handle = Handle;
  dest->Buffer = nullptr;
  dest->Pub.init_destination = InitDestination;
  dest->Pub.empty_output_buffer = EmptyOutputBuffer;
  dest->Pub.term_destination = TermDestination;
  Info->dest = &dest->Pub;
}

// ---------------------------------------------------------------------------
// Decoding
// ---------------------------------------------------------------------------

enum TJpegRunResult { jrDone, jrLibraryError, jrUnsupported, jrTooLarge, jrAboveLimit, jrCancelled, jrNotCreated };

// Everything a load keeps; zero-initialized, no destructors run on a jump.
struct TJpegLoad {
  jpeg_decompress_struct Info;
  TJpegErrorManager Err;
  TImageData Image;
  bool IsCmyk;
};

int RunDecode(TJpegLoad& L, THandle Handle) {
  if (setjmp(L.Err.Jump)) return jrLibraryError;
  jpeg_create_decompress(&L.Info);
  // The library's own working memory (the whole-image coefficient buffer of
  // progressive files) is held to what one image may take: a small header
  // cannot make it allocate more; such a file fails with its message.
  L.Info.mem->max_memory_to_use = long(MaxImageSize);
  InstallSource(&L.Info, Handle);
  jpeg_read_header(&L.Info, TRUE);

  L.Info.scale_num = 1;
  L.Info.scale_denom = 1;
  L.Info.do_block_smoothing = TRUE;
  // Gray output needs no quantization: 256 levels of 8-bit gray are the gray
  // values themselves.
  TImageFormat format;
  int32_t components;
  switch (L.Info.out_color_space) {
    case JCS_GRAYSCALE:
      format = fmtGray8;
      components = 1;
      break;
    case JCS_RGB:
      // Our colour rows are B, G, R; libjpeg-turbo delivers that order itself.
      L.Info.out_color_space = JCS_EXT_BGR;
      format = fmtR8G8B8;
      components = 3;
      break;
    case JCS_CMYK:
      format = fmtA8R8G8B8;
      components = 4;
      L.IsCmyk = true;
      break;
    default:
      return jrUnsupported;
  }
  // Refuse what cannot be an image here before anything large is allocated.
  const int64_t width = L.Info.image_width, height = L.Info.image_height;
  if (width * height * components > MaxImageSize) return jrTooLarge;
  if (MaxPixels() > 0 && width * height > MaxPixels()) return jrAboveLimit;

  jpeg_start_decompress(&L.Info);
  if (L.Info.output_width != L.Info.image_width || L.Info.output_height != L.Info.image_height ||
      L.Info.output_components != components)
    return jrUnsupported;
  if (!CreateImage(int32_t(width), int32_t(height), format, L.Image)) return jrNotCreated;

  auto* bits = static_cast<uint8_t*>(L.Image.Bits);
  const size_t stride = size_t(width) * size_t(components);
  JSAMPROW rows[RowsPerCall];
  while (L.Info.output_scanline < L.Info.output_height) {
    if (CancelRequested()) return jrCancelled;
    JDIMENSION first = L.Info.output_scanline;
    JDIMENSION count = std::min<JDIMENSION>(RowsPerCall, L.Info.output_height - first);
    for (JDIMENSION i = 0; i < count; ++i) rows[i] = bits + size_t(first + i) * stride;
    if (jpeg_read_scanlines(&L.Info, rows, count) == 0) return jrLibraryError;  // cannot happen: we never suspend
  }
  L.Err.Finishing = true;
  jpeg_finish_decompress(&L.Info);
  return jrDone;
}

// CMYK as libjpeg delivers it (Adobe files store inverted ink values) into
// B, G, R, A: with c, m, y, k the ink amounts, red = 255 - (c - c*k/255 + k).
void ConvertCmykRows(TImageData& Image) {
  auto* p = static_cast<uint8_t*>(Image.Bits);
  const size_t count = size_t(Image.Width) * size_t(Image.Height);
  for (size_t i = 0; i < count; ++i, p += 4) {
    uint32_t c = 255u - p[0], m = 255u - p[1], y = 255u - p[2], k = 255u - p[3];
    uint8_t r = uint8_t(255u - (c - c * k / 255u + k));
    uint8_t g = uint8_t(255u - (m - m * k / 255u + k));
    uint8_t b = uint8_t(255u - (y - y * k / 255u + k));
    p[0] = b;
    p[1] = g;
    p[2] = r;
    p[3] = 255;
  }
}

// ---------------------------------------------------------------------------
// Encoding
// ---------------------------------------------------------------------------

struct TJpegSave {
  jpeg_compress_struct Info;
  TJpegErrorManager Err;
};

int RunEncode(TJpegSave& S, THandle Handle, const TImageData& Image, bool GrayScale, int32_t Quality,
              bool Progressive) {
  if (setjmp(S.Err.Jump)) return jrLibraryError;
  jpeg_create_compress(&S.Info);
  InstallDestination(&S.Info, Handle);

  S.Info.image_width = JDIMENSION(Image.Width);
  S.Info.image_height = JDIMENSION(Image.Height);
  S.Info.input_components = GrayScale ? 1 : 3;
  S.Info.in_color_space = GrayScale ? JCS_GRAYSCALE : JCS_YCbCr;
  jpeg_set_defaults(&S.Info);  // the file's colour space becomes gray or YCbCr
  jpeg_set_quality(&S.Info, Quality, TRUE);
  if (Progressive) jpeg_simple_progression(&S.Info);
  // Our colour rows are B, G, R, which libjpeg-turbo takes as they are.
  S.Info.in_color_space = GrayScale ? JCS_GRAYSCALE : JCS_EXT_BGR;

  jpeg_start_compress(&S.Info, TRUE);
  auto* bits = static_cast<uint8_t*>(Image.Bits);
  const size_t stride = size_t(Image.Width) * (GrayScale ? 1u : 3u);
  JSAMPROW rows[RowsPerCall];
  while (S.Info.next_scanline < S.Info.image_height) {
    if (CancelRequested()) return jrCancelled;
    JDIMENSION first = S.Info.next_scanline;
    JDIMENSION count = std::min<JDIMENSION>(RowsPerCall, S.Info.image_height - first);
    for (JDIMENSION i = 0; i < count; ++i) rows[i] = bits + size_t(first + i) * stride;
    if (jpeg_write_scanlines(&S.Info, rows, count) == 0) return jrLibraryError;  // never: we never suspend
  }
  jpeg_finish_compress(&S.Info);
  return jrDone;
}

[[noreturn]] void RaiseLibraryError(const TJpegErrorManager& Err, const std::exception_ptr& IOFailure) {
  if (IOFailure) std::rethrow_exception(IOFailure);
  RaiseImagingError("JPEG Error %d: %s", Err.MessageCode, static_cast<const char*>(Err.Message));
}

}  // namespace

// ---------------------------------------------------------------------------
// TJpegFileFormat
// ---------------------------------------------------------------------------

TJpegFileFormat::TJpegFileFormat() : TJpegFileFormat(true) {}

TJpegFileFormat::TJpegFileFormat(bool BindOptions) {
  FName = "Joint Photographic Experts Group Image";
  FCanLoad = true;
  FCanSave = true;
  FIsMultiImageFormat = false;
  FSupportedFormats = TImageFormats{fmtGray8, fmtR8G8B8};
  SetMaskList("*.jpg,*.jpeg,*.jfif,*.jpe,*.jif");
  FQuality = 90;
  FProgressive = 0;
  if (BindOptions) {
    RegisterOptionVariable(OptJpegQuality, &FQuality);
    RegisterOptionVariable(OptJpegProgressive, &FProgressive);
  }
}

void TJpegFileFormat::SelectJpegIO() { JpegIO = CurrentIOTable(); }

void TJpegFileFormat::CheckOptionsValidity() {
  if (uint32_t(FQuality) - 1u > 99u) FQuality = 90;
}

bool TJpegFileFormat::TestFormat(THandle Handle) {
  if (!Handle) return false;
  TIOFunctions io = CurrentIOTable();
  uint8_t header[10];
  int32_t count = std::max<int32_t>(io.Read(Handle, header, sizeof header), 0);
  io.Seek(Handle, -count, smFromCurrent);
  return count == int32_t(sizeof header) && header[0] == 0xFF && header[1] == 0xD8;
}

void TJpegFileFormat::ConvertToAccepted(TImageData& Image, const TImageFormatInfo& Info) {
  ChangeImageFormat(Image, Info.HasGrayChannel ? fmtGray8 : fmtR8G8B8);
}

bool TJpegFileFormat::ReadImages(THandle Handle, TDynImageDataArray& Images, bool) {
  SelectJpegIO();
  Images.resize(1);
  std::exception_ptr ioFailure;
  auto load = std::make_unique<TJpegLoad>();
  SetupErrorManager(load->Err, &ioFailure);
  load->Info.err = &load->Err.Pub;
  int result;
  try {
    result = RunDecode(*load, Handle);
  } catch (...) {
    // Our own calls between the library's (image creation) may raise.
    jpeg_destroy_decompress(&load->Info);
    ReleaseImage(load->Image);
    throw;
  }
  jpeg_destroy_decompress(&load->Info);
  if (result != jrDone) ReleaseImage(load->Image);
  switch (result) {
    case jrDone:
      break;
    case jrLibraryError:
      RaiseLibraryError(load->Err, ioFailure);
    case jrTooLarge:
      RaiseImagingError("JPEG image of %d x %d pixels is too large.", int64_t(load->Info.image_width),
                        int64_t(load->Info.image_height));
    case jrAboveLimit:
      CheckPixelLimit(load->Info.image_width, load->Info.image_height);
      return false;
    case jrCancelled:
      PollCancel();
      return false;
    default:
      return false;
  }
  if (load->IsCmyk) ConvertCmykRows(load->Image);
  Images[0] = load->Image;
  return true;
}

bool TJpegFileFormat::WriteImages(THandle Handle, const TDynImageDataArray& Images, int32_t Index) {
  SelectJpegIO();
  TCompatibleImage compatible;
  if (!MakeCompatible(Images[size_t(Index)], compatible)) return false;
  const TImageData& image = compatible.Image;
  const bool grayScale = image.Format == fmtGray8;
  std::exception_ptr ioFailure;
  auto save = std::make_unique<TJpegSave>();
  SetupErrorManager(save->Err, &ioFailure);
  save->Info.err = &save->Err.Pub;
  int result = RunEncode(*save, Handle, image, grayScale, FQuality, FProgressive != 0);
  jpeg_destroy_compress(&save->Info);
  if (result == jrCancelled) PollCancel();
  if (result != jrDone) RaiseLibraryError(save->Err, ioFailure);
  return true;
}

// ---------------------------------------------------------------------------
// TCustomIOJpegFileFormat
// ---------------------------------------------------------------------------

TCustomIOJpegFileFormat::TCustomIOJpegFileFormat() : TJpegFileFormat(false) { FCustomIO = CurrentIOTable(); }

void TCustomIOJpegFileFormat::SelectJpegIO() { JpegIO = FCustomIO; }

}  // namespace Imaging
