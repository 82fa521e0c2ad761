// The PNG family: one chunk reader and one chunk writer shared by PNG,
// animated PNG, MNG and JNG files, the PNG frame codec (prediction filters
// over a zlib stream, Adam7 interlacing), and the PNG file format handler.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "Imaging.h"

namespace Imaging {

// zlib failures while inflating and deflating frames ("zlib: " + zlib's text).
class EDecompressionError : public EImagingError {
public:
  explicit EDecompressionError(const std::string& Message) : EImagingError(Message) {}
};
class ECompressionError : public EImagingError {
public:
  explicit ECompressionError(const std::string& Message) : EImagingError(Message) {}
};

enum TNGFileType : int32_t { ngPNG, ngAPNG, ngMNG, ngJNG };

// Composed animation frames (and the frames of an MNG) are held to 1 GiB in
// total, so that small hostile files cannot ask for unbounded memory.
constexpr int64_t MaxComposedBytes = int64_t(1) << 30;

using TNGSignature = uint8_t[8];
extern const TNGSignature PNGSignature;
extern const TNGSignature MNGSignature;
extern const TNGSignature JNGSignature;

// Fixed-layout chunk payloads: the bytes of each record are the payload
// itself. Multi-byte fields are native order in memory except while a record
// is being read or written.
#pragma pack(push, 1)
struct TIHDR {
  uint32_t Width;
  uint32_t Height;
  uint8_t BitDepth;
  uint8_t ColorType;
  uint8_t Compression;
  uint8_t Filter;
  uint8_t Interlacing;
};
struct TJHDR {
  uint32_t Width;
  uint32_t Height;
  uint8_t ColorType;
  uint8_t SampleDepth;
  uint8_t Compression;
  uint8_t Interlacing;
  uint8_t AlphaSampleDepth;
  uint8_t AlphaCompression;
  uint8_t AlphaFilter;
  uint8_t AlphaInterlacing;
};
struct TMHDR {
  uint32_t FrameWidth;
  uint32_t FrameHeight;
  uint32_t TicksPerSecond;
  uint32_t NominalLayerCount;
  uint32_t NominalFrameCount;
  uint32_t NominalPlayTime;
  uint32_t SimplicityProfile;
};
struct TacTL {
  uint32_t NumFrames;
  uint32_t NumPlay;
};
struct TfcTL {
  uint32_t SeqNumber;
  uint32_t Width;
  uint32_t Height;
  uint32_t XOffset;
  uint32_t YOffset;
  uint16_t DelayNumer;
  uint16_t DelayDenom;
  uint8_t DisposeOp;
  uint8_t BlendOp;
};
#pragma pack(pop)
static_assert(sizeof(TIHDR) == 13 && sizeof(TJHDR) == 16 && sizeof(TMHDR) == 28 && sizeof(TacTL) == 8 &&
                  sizeof(TfcTL) == 26,
              "chunk records must be packed");

class TPNGFrameDecoder;

// One frame of a PNG-family file: its header records, palette, transparency,
// background and the collected compressed data.
class TFrameInfo {
public:
  TFrameInfo();
  ~TFrameInfo();
  TFrameInfo(const TFrameInfo&) = delete;
  TFrameInfo& operator=(const TFrameInfo&) = delete;

  // Copies IHDR and JHDR and takes own copies of Source's palette and
  // transparency (not its background or data).
  void AssignSharedProps(const TFrameInfo& Source);

  int32_t FrameWidth = 0;
  int32_t FrameHeight = 0;
  bool IsJpegFrame = false;
  TIHDR IHDR{};
  TJHDR JHDR{};
  TfcTL fcTL{};
  std::vector<uint8_t> Palette;  // 3 bytes per entry, R, G, B as in the file
  int32_t PaletteEntries = 0;
  std::vector<uint8_t> Transparency;  // the tRNS payload as stored
  int32_t TransparencySize = 0;
  std::vector<uint8_t> Background;  // the bKGD payload
  int32_t BackgroundSize = 0;
  std::unique_ptr<TMemoryStream> IDATMemory;
  std::unique_ptr<TMemoryStream> JDATMemory;
  std::unique_ptr<TMemoryStream> JDAAMemory;

  // Reading bookkeeping: whether the frame came with an fcTL, and where the
  // data of its last IDAT or fdAT chunk begin in IDATMemory (a whole chunk
  // after the end of the zlib stream is refused).
  bool HasfcTL = false;
  int64_t LastDataChunkStart = 0;
  // Bytes of image data (IDAT, fdAT) the frame received, collected or not.
  int64_t DataSize = 0;

  // A frame decoded while its chunks are read (TNGFileLoader::
  // DecodeWhileReading): the decoder between its first data chunk and the
  // frame's end, then the image it made (released with the frame unless
  // taken).
  std::unique_ptr<TPNGFrameDecoder> Decoder;
  TImageData Image;
};

// Decodes one PNG frame from its zlib stream as the data arrive: each row is
// inflated, unfiltered and put in place in the image as soon as it is
// complete, so a frame needs no buffer for its compressed or inflated data.
class TPNGFrameDecoder {
public:
  // IHDR in native order. InputBound is the most compressed bytes the frame
  // can still receive: a large frame they cannot fill is refused before its
  // memory is allocated.
  TPNGFrameDecoder(int32_t FrameWidth, int32_t FrameHeight, const TIHDR& IHDR, int64_t InputBound);
  ~TPNGFrameDecoder();
  TPNGFrameDecoder(const TPNGFrameDecoder&) = delete;
  TPNGFrameDecoder& operator=(const TPNGFrameDecoder&) = delete;

  // Takes the next bytes of the zlib stream. ChunkStart marks the first
  // bytes of a data chunk: a chunk with data after the end of the stream is
  // damage.
  void Feed(const uint8_t* Data, size_t Size, bool ChunkStart);
  // After the frame's last data: rows missing from a stream that ended
  // early are zero, a stream cut short is the zlib error. Hands the image
  // over to Image.
  void Finish(TImageData& Image);

private:
  struct TState;
  std::unique_ptr<TState> FState;
};

class TNetworkGraphicsFileFormat;

// State shared by the loader and the saver.
class TNGFileHandler {
public:
  TNGFileHandler() = default;
  virtual ~TNGFileHandler();
  TNGFileHandler(const TNGFileHandler&) = delete;
  TNGFileHandler& operator=(const TNGFileHandler&) = delete;

  void Clear();
  TFrameInfo* GetLastFrame();
  TFrameInfo* AddFrameInfo();

  TNGFileType FileType = ngPNG;
  std::vector<std::unique_ptr<TFrameInfo>> Frames;
  TMHDR MHDR{};
  TacTL acTL{};
  std::vector<uint8_t> GlobalPalette;
  int32_t GlobalPaletteEntries = 0;
  std::vector<uint8_t> GlobalTransparency;
  int32_t GlobalTransparencySize = 0;
};

class TNGFileLoader : public TNGFileHandler {
public:
  // Reads the whole chunk stream. False only for an unknown signature;
  // damaged or hostile streams raise EImagingError.
  bool LoadFile(THandle Handle);
  // Decodes one PNG frame (IHDR in native order) into Image.
  // LastChunkStart is where the data of the frame's last IDAT or fdAT chunk
  // begin in IDATStream (-1: unknown); a whole chunk after the end of the
  // zlib stream is refused.
  void LoadImageFromPNGFrame(int32_t FrameWidth, int32_t FrameHeight, const TIHDR& IHDR,
                             TMemoryStream& IDATStream, TImageData& Image, int64_t LastChunkStart = -1);
  // Decodes one JPEG-coded frame (JHDR in native order): the colour from
  // the JDAT stream, the alpha from the JDAA stream or the PNG data of the
  // IDAT stream.
  void LoadImageFromJNGFrame(int32_t FrameWidth, int32_t FrameHeight, const TJHDR& JHDR, TMemoryStream& IDATStream,
                             TMemoryStream& JDATStream, TMemoryStream& JDAAStream, TImageData& Image);
  // Applies palette, tRNS and bKGD of Frame to a decoded image.
  void ApplyFrameSettings(TFrameInfo& Frame, TImageData& Image);

  // When set, the image data of PNG frames are decoded as the chunks are
  // read into each frame's Image, instead of being collected in IDATMemory.
  bool DecodeWhileReading = false;
  // Reading stops once the frames the first image needs are complete: the
  // first frame, or with ComposeAnimation the frames of the first composed
  // animation frame. The animation is then not checked as a whole.
  bool FirstImageOnly = false;
  // The animation will be composed on full canvases: their memory is
  // checked as frames are found, before any is allocated.
  bool ComposeAnimation = false;
  // Reading ended early (FirstImageOnly).
  bool Stopped() const { return FStopped; }

private:
  void EndFrameDecoding(TFrameInfo* Frame);
  void ReadChunks(const TIOFunctions& IO, THandle Handle);
  void CheckAnimation();
  // Damaged animation chunks cost the animation, not the default image: the
  // frames after it are dropped and the file reads as a plain PNG.
  void DropAnimation();
  // Ends a frame's decoding; an animation frame that fails drops the
  // animation.
  void EndAnimationFrame(TFrameInfo* Frame);
  size_t FramesForFirstImage() const;
  void CheckComposition(int64_t OutputFrames) const;
  bool FSawIDAT = false;
  bool FSawacTL = false;
  bool FAnimationDamaged = false;
  bool FDefaultImageEnded = false;
  bool FStopped = false;
  int64_t FRawBytes = 0;  // pixels of the animation frames after the first
  int64_t FNextSequence = 0;
  int32_t FfcTLCount = 0;
};

class TNGFileSaver : public TNGFileHandler {
public:
  void SetFileOptions(const TNetworkGraphicsFileFormat& FileFormat);
  // Appends a frame built from Image, whose format must be one the saver
  // supports. Returns the new frame.
  TFrameInfo* AddFrame(const TImageData& Image, bool IsJpegFrame);
  // Filters and deflates the rows of Bits (IHDR in native order) and appends
  // the zlib stream to IDATStream.
  void StoreImageToPNGFrame(const TIHDR& IHDR, const void* Bits, const TImageFormatInfo& FmtInfo,
                            TMemoryStream& IDATStream);
  // JPEG-codes Image (gray or colour, with or without alpha; JHDR in native
  // order): the colour into JDATStream, the alpha into JDAAStream as JPEG
  // or into IDATStream as PNG data.
  void StoreImageToJNGFrame(const TJHDR& JHDR, const TImageData& Image, TMemoryStream& IDATStream,
                            TMemoryStream& JDATStream, TMemoryStream& JDAAStream);
  // Writes the signature and every chunk. After BeginFile, only what ends
  // the file.
  void SaveFile(THandle Handle);
  // Streams the file: writes the signature (and MHDR) now, and every frame
  // added afterwards at once, its rows deflated straight into its data
  // chunk (nothing is collected in IDATMemory).
  void BeginFile(THandle Handle);

  int32_t PreFilter = 5;
  int32_t CompressLevel = 5;
  bool LossyAlpha = false;
  int32_t Quality = 90;
  bool Progressive = false;

private:
  void WriteSignature(const TIOFunctions& IO, THandle Handle);
  // Writes the chunks of frame Index; Image (streaming) is deflated into
  // data chunks, or else the frame's collected data are written.
  void WriteFrame(const TIOFunctions& IO, THandle Handle, size_t Index, const TImageData* Image,
                  const TImageFormatInfo* Info);
  THandle FHandle = nullptr;
  bool FStreaming = false;
  uint32_t FSequence = 0;
};

// Options and behaviour shared by the PNG, MNG and JNG handlers.
class TNetworkGraphicsFileFormat : public TImageFileFormat {
public:
  TNetworkGraphicsFileFormat();

  TImageFormats GetSupportedFormats() const override;
  void ConvertToAccepted(TImageData& Image, const TImageFormatInfo& Info) override;
  bool TestFormat(THandle Handle) override;
  void CheckOptionsValidity() override;

  int32_t PreFilter() const { return FPreFilter; }
  int32_t CompressLevel() const { return FCompressLevel; }
  bool LossyCompression() const { return FLossyCompression != 0; }
  bool LossyAlpha() const { return FLossyAlpha != 0; }
  int32_t Quality() const { return FQuality; }
  bool Progressive() const { return FProgressive != 0; }

protected:
  uint8_t FSignature[8] = {};
  int32_t FPreFilter = 5;
  int32_t FCompressLevel = 5;
  int32_t FLossyCompression = 0;
  int32_t FLossyAlpha = 0;
  int32_t FQuality = 90;
  int32_t FProgressive = 0;
};

// Composes the raw frames of an animated PNG into full-canvas frames.
class TAPNGAnimator {
public:
  // Replaces the decoded raw frames in Images (one per entry of Frames) by
  // the frames a viewer shows: each drawn at its offset over the canvas its
  // predecessors left, with their blend and dispose operations. A default
  // image outside the animation is not among them.
  static void Animate(TDynImageDataArray& Images, const TacTL& acTL,
                      const std::vector<std::unique_ptr<TFrameInfo>>& Frames);
};

// Portable Network Graphics, including animated PNG.
class TPNGFileFormat : public TNetworkGraphicsFileFormat {
public:
  TPNGFileFormat();

  bool ReadImages(THandle Handle, TDynImageDataArray& Images, bool OnlyFirstLevel) override;
  bool WriteImages(THandle Handle, const TDynImageDataArray& Images, int32_t Index) override;

  bool LoadAnimated() const { return FLoadAnimated != 0; }

protected:
  int32_t FLoadAnimated = -1;
};

// Multiple Network Graphics: a sequence of PNG and JNG frames, loaded one
// image per frame (control chunks are passed over).
class TMNGFileFormat : public TNetworkGraphicsFileFormat {
public:
  TMNGFileFormat();

  bool ReadImages(THandle Handle, TDynImageDataArray& Images, bool OnlyFirstLevel) override;
  bool WriteImages(THandle Handle, const TDynImageDataArray& Images, int32_t Index) override;
};

// JPEG Network Graphics: one JPEG-coded image with optional alpha.
class TJNGFileFormat : public TNetworkGraphicsFileFormat {
public:
  TJNGFileFormat();

  bool ReadImages(THandle Handle, TDynImageDataArray& Images, bool OnlyFirstLevel) override;
  bool WriteImages(THandle Handle, const TDynImageDataArray& Images, int32_t Index) override;
};

}  // namespace Imaging
