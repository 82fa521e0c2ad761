// The imaging core: image operations, error raising, the file format
// framework with its registry, and the numbered options.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "ImagingFormats.h"
#include "ImagingIO.h"
#include "ImagingTypes.h"

namespace Imaging {

// ---------------------------------------------------------------------------
// Start-up and shutdown (ImagingFramework.cpp)
// ---------------------------------------------------------------------------

// Fills the I/O tables, registers every handler in the fixed order, builds the
// pixel format table and binds the core options. Safe to call repeatedly.
void InitImaging();
// Frees the option table and stack, every handler and the registry.
void FreeImaging();

// ---------------------------------------------------------------------------
// Message formatting and error raising (ImagingUtility.cpp)
// ---------------------------------------------------------------------------

// One argument of a message pattern.
struct TFormatArg {
  std::variant<int64_t, double, std::string, const void*> Value;
  TFormatArg(int V) : Value(int64_t(V)) {}
  TFormatArg(long V) : Value(int64_t(V)) {}
  TFormatArg(long long V) : Value(int64_t(V)) {}
  TFormatArg(unsigned V) : Value(int64_t(V)) {}
  TFormatArg(unsigned long V) : Value(int64_t(V)) {}
  TFormatArg(double V) : Value(V) {}
  TFormatArg(const char* V) : Value(std::string(V)) {}
  TFormatArg(const std::string& V) : Value(V) {}
  TFormatArg(const void* V) : Value(V) {}
};

// Fills a pattern with arguments. Supported: %s, %d, %u, %x, %X, %p (16
// upper-case hex digits), %.0n (integer with thousands separators), %%.
std::string FormatText(const char* Pattern, std::initializer_list<TFormatArg> Args = {});

// The message of the exception being handled, or empty outside a handler.
std::string CurrentExceptionMessage();

// Raises EImagingError with the filled pattern; inside an exception handler
// " Exception Message: " and the handled exception's message are appended.
[[noreturn]] void RaiseImagingErrorText(const std::string& Message);
template <typename... TArgs>
[[noreturn]] void RaiseImagingError(const char* Pattern, const TArgs&... Args) {
  RaiseImagingErrorText(FormatText(Pattern, {TFormatArg(Args)...}));
}

// Rounds to nearest with ties to even (the current rounding mode is never
// changed by the core).
int32_t RoundToInt(double Value);
int32_t RoundToInt(long double Value);
int32_t RoundToInt(float Value);

// ---------------------------------------------------------------------------
// Image lifecycle and manipulation (ImagingImage.cpp, ImagingResample.cpp)
// ---------------------------------------------------------------------------

enum TResizeFilter : int32_t { rfNearest = 0, rfBilinear = 1, rfBicubic = 2 };

enum TSampleKernel : int32_t {
  skBox = 0,
  skTriangle = 1,
  skCosine = 2,
  skHermite = 3,
  skQuadratic = 4,
  skGaussian = 5,
  skSpline = 6,
  skLanczos3 = 7,
  skMitchell = 8,
  skCatmullRom = 9,
};

using TFilterFunction = float (*)(float Value);

struct TPointRec {
  int32_t Pos;
  float Weight;
};
using TCluster = std::vector<TPointRec>;
using TMappingTable = std::vector<TCluster>;

// Kernel function and support radius of a sampling kernel.
TFilterFunction SampleKernelFunction(TSampleKernel Kernel);
float SampleKernelRadius(TSampleKernel Kernel);

// Contributions for DstCount destination pixels (one cluster each, counted
// from the start of the destination range) from source [SrcLow, SrcLow +
// SrcCount) of a source SrcImageSize long.
TMappingTable BuildMappingTable(int32_t DstCount, int32_t SrcLow, int32_t SrcCount, int32_t SrcImageSize,
                                TFilterFunction Filter, float Radius, bool WrapEdges);
// Column and row tables of a stretch.
void BuildSampleMap(int32_t SrcWidth, int32_t SrcHeight, int32_t DstWidth, int32_t DstHeight, int32_t SrcImageWidth,
                    int32_t SrcImageHeight, int32_t SrcX, int32_t SrcY, TFilterFunction Filter, float Radius,
                    bool WrapEdges, TMappingTable& MapX, TMappingTable& MapY, int32_t& XMin, int32_t& XMax);
// Filtered resampling of a rectangle onto a rectangle of another image of the
// same (non-indexed, non-special) format.
void StretchResample(const TImageData& Src, int32_t SrcX, int32_t SrcY, int32_t SrcWidth, int32_t SrcHeight,
                     TImageData& Dst, int32_t DstX, int32_t DstY, int32_t DstWidth, int32_t DstHeight,
                     TSampleKernel Kernel, bool WrapEdges = false);
// Nearest-neighbour stretch in 16.16 fixed point between two images of one
// (non-special) format; both rectangles must lie inside their images.
void StretchNearest(const TImageData& Src, int32_t SrcX, int32_t SrcY, int32_t SrcWidth, int32_t SrcHeight,
                    TImageData& Dst, int32_t DstX, int32_t DstY, int32_t DstWidth, int32_t DstHeight);

void ResetImage(TImageData& Image);
bool CreateImage(int32_t Width, int32_t Height, TImageFormat Format, TImageData& Image);
// As CreateImage, for an image its caller writes whole before anything reads
// it: the pixels start undefined (a palette still starts zero).
bool CreateImageUncleared(int32_t Width, int32_t Height, TImageFormat Format, TImageData& Image);
bool IsValidImage(const TImageData& Image);
void ReleaseImage(TImageData& Image);
void ReleaseImageArray(TDynImageDataArray& Images);

// The image a handler writes (TImageFileFormat::MakeCompatible): the
// caller's image itself, or a converted copy released with this object.
struct TCompatibleImage {
  TImageData Image;
  bool MustBeFreed = false;
  TCompatibleImage() = default;
  ~TCompatibleImage() {
    if (MustBeFreed) ReleaseImage(Image);
  }
  TCompatibleImage(const TCompatibleImage&) = delete;
  TCompatibleImage& operator=(const TCompatibleImage&) = delete;
};
bool AreValidImages(const TDynImageDataArray& Images);
bool DuplicateImage(const TImageData& Source, TImageData& Target);

bool FlipVertical(TImageData& Image);
bool FlipHorizontal(TImageData& Image);
bool ExchangeChannels(TImageData& Image, int32_t First, int32_t Second);
bool CopyImageRect(const TImageData& Source, int32_t X, int32_t Y, int32_t Width, int32_t Height, TImageData& Target,
                   int32_t TargetX, int32_t TargetY);
bool FillImageRect(TImageData& Image, int32_t X, int32_t Y, int32_t Width, int32_t Height, const void* Value);
bool ReplaceImageColor(TImageData& Image, int32_t X, int32_t Y, int32_t Width, int32_t Height, const void* OldValue,
                       const void* NewValue);
bool StretchImageRect(const TImageData& Source, int32_t X, int32_t Y, int32_t Width, int32_t Height,
                      TImageData& Target, int32_t TargetX, int32_t TargetY, int32_t TargetWidth,
                      int32_t TargetHeight, TResizeFilter Filter);
bool ScaleImage(TImageData& Image, int32_t Width, int32_t Height, TResizeFilter Filter);
bool MapToPalette(TImageData& Image, const TColor32Rec* Palette, int32_t Count);

TColor32Rec ReadPixel32(const TImageData& Image, int32_t X, int32_t Y);
void WritePixel32(TImageData& Image, int32_t X, int32_t Y, const TColor32Rec& Color);
TColorFPRec ReadPixelFP(const TImageData& Image, int32_t X, int32_t Y);
void WritePixelFP(TImageData& Image, int32_t X, int32_t Y, const TColorFPRec& Color);

int32_t NearestPaletteIndex(const TColor32Rec* Palette, int32_t Count, const TColor32Rec& Color);
void MakeGrayPalette(TColor32Rec* Palette, int32_t Count);
void MakeBitPalette(TColor32Rec* Palette, int32_t Count, int32_t RedBits, int32_t GreenBits, int32_t BlueBits,
                    uint8_t Alpha);
void ExchangePaletteChannels(TColor32Rec* Palette, int32_t Count, int32_t First, int32_t Second);
// True when some pixel of an Index8 image uses a palette entry that is not
// fully opaque (entries no pixel uses do not count).
bool PaletteAlphaInUse(const TImageData& Image);

std::string DescribeImage(const TImageData& Image);

// ---------------------------------------------------------------------------
// Options (ImagingFramework.cpp)
// ---------------------------------------------------------------------------

constexpr int32_t OptJpegQuality = 10;
constexpr int32_t OptJpegProgressive = 11;
constexpr int32_t OptBitmapRLE = 12;
constexpr int32_t OptTargaRLE = 13;
constexpr int32_t OptDdsLoadedCubeMap = 14;
constexpr int32_t OptDdsLoadedVolume = 15;
constexpr int32_t OptDdsLoadedMipMapCount = 16;
constexpr int32_t OptDdsLoadedDepth = 17;
constexpr int32_t OptDdsSaveCubeMap = 18;
constexpr int32_t OptDdsSaveVolume = 19;
constexpr int32_t OptDdsSaveMipMapCount = 20;
constexpr int32_t OptDdsSaveDepth = 21;
constexpr int32_t OptPngPreFilter = 25;
constexpr int32_t OptPngCompressLevel = 26;
constexpr int32_t OptPngLoadAnimated = 27;
constexpr int32_t OptMngLossyCompression = 28;
constexpr int32_t OptMngLossyAlpha = 29;
constexpr int32_t OptMngPreFilter = 30;
constexpr int32_t OptMngCompressLevel = 31;
constexpr int32_t OptMngQuality = 32;
constexpr int32_t OptMngProgressive = 33;
constexpr int32_t OptJngLossyAlpha = 40;
constexpr int32_t OptJngPreFilter = 41;
constexpr int32_t OptJngCompressLevel = 42;
constexpr int32_t OptJngQuality = 43;
constexpr int32_t OptJngProgressive = 44;
constexpr int32_t OptPgmSaveBinary = 50;
constexpr int32_t OptPpmSaveBinary = 51;
constexpr int32_t OptJpeg2000Quality = 55;
constexpr int32_t OptJpeg2000CodeStreamOnly = 56;
constexpr int32_t OptGifLoadAnimated = 56;
constexpr int32_t OptJpeg2000Lossless = 57;
constexpr int32_t OptTiffCompression = 65;
constexpr int32_t OptPsdSaveAsLayer = 70;
constexpr int32_t OptColorReductionMask = 128;
constexpr int32_t OptLoadOverrideFormat = 129;
constexpr int32_t OptSaveOverrideFormat = 130;
constexpr int32_t OptSamplingFilter = 131;
// The most pixels (width x height) an image may have; 0 means no limit.
constexpr int32_t OptMaxPixels = 132;

constexpr int32_t InvalidOptionValue = -2147483647;

// Binds an option id to a 32-bit variable (a later binding replaces an
// earlier one). False for a negative id.
bool RegisterOptionVariable(int32_t Id, int32_t* Variable);
bool SetImagingOption(int32_t Id, int32_t Value);
int32_t GetImagingOption(int32_t Id);
int32_t ClampOptionValue(int32_t Id, int32_t Value);

using TOptionValueArray = std::vector<int32_t>;

class TOptionStack {
public:
  static constexpr int32_t StackSize = 8;
  bool Push();
  bool Pop();
  int32_t Position() const { return FPosition; }

private:
  TOptionValueArray FStack[StackSize];
  int32_t FPosition = -1;
};

TOptionStack& OptionStack();

// Values of the core's own options.
int32_t ColorReductionMask();
int32_t LoadOverrideFormat();
int32_t SaveOverrideFormat();

// Default of OptMaxPixels: tiny hostile files can announce huge images, and
// a bound of this order is what users know from other image tools.
constexpr int32_t DefaultMaxPixels = 178000000;
int32_t MaxPixels();
// Raises EImagingError when an image of Width x Height pixels is above the
// pixel limit (OptMaxPixels). Handlers call it as soon as a header gives the
// size, before anything is allocated or decoded; CreateImage calls it too.
void CheckPixelLimit(int64_t Width, int64_t Height);

// ---------------------------------------------------------------------------
// File format framework (ImagingFramework.cpp)
// ---------------------------------------------------------------------------

class TImageFileFormat {
public:
  TImageFileFormat();
  virtual ~TImageFileFormat();
  TImageFileFormat(const TImageFileFormat&) = delete;
  TImageFileFormat& operator=(const TImageFileFormat&) = delete;

  virtual TImageFormats GetSupportedFormats() const;
  virtual bool ReadImages(THandle Handle, TDynImageDataArray& Images, bool OnlyFirstLevel);
  virtual bool WriteImages(THandle Handle, const TDynImageDataArray& Images, int32_t Index);
  virtual void ConvertToAccepted(TImageData& Image, const TImageFormatInfo& Info);
  virtual bool AcceptsImage(const TImageData& Image) const;
  virtual bool TestFormat(THandle Handle);
  virtual void CheckOptionsValidity();

  bool LoadFromFile(const std::string& FileName, TDynImageDataArray& Images, bool OnlyFirstLevel = false);
  bool LoadFromStream(TStream* Stream, TDynImageDataArray& Images, bool OnlyFirstLevel = false);
  bool LoadFromMemory(const void* Data, int32_t Size, TDynImageDataArray& Images, bool OnlyFirstLevel = false);
  bool SaveToFile(const std::string& FileName, const TDynImageDataArray& Images, bool OnlyFirstLevel = false);
  bool SaveToStream(TStream* Stream, const TDynImageDataArray& Images, bool OnlyFirstLevel = false);
  bool SaveToMemory(void* Data, int32_t& Size, const TDynImageDataArray& Images, bool OnlyFirstLevel = false);

  // Brings Image into a format this handler accepts. Compatible either shares
  // Image's memory (MustBeFreed false) or owns a converted copy.
  bool MakeCompatible(const TImageData& Image, TImageData& Compatible, bool& MustBeFreed);
  // The same, with the copy released when Compatible goes.
  bool MakeCompatible(const TImageData& Image, TCompatibleImage& Compatible);
  bool TestFileName(const std::string& FileName) const;

  const std::string& Name() const { return FName; }
  bool CanLoad() const { return FCanLoad; }
  bool CanSave() const { return FCanSave; }
  bool IsMultiImageFormat() const { return FIsMultiImageFormat; }
  const std::vector<std::string>& Extensions() const { return FExtensions; }
  const std::vector<std::string>& Masks() const { return FMasks; }
  TImageFormats SupportedFormats() const { return GetSupportedFormats(); }

protected:
  bool BeginRead(THandle Handle, TDynImageDataArray& Images, bool OnlyFirstLevel);
  bool FinishRead(TDynImageDataArray& Images);
  bool BeginWrite(THandle Handle, const TDynImageDataArray& Images, int32_t& Index);
  void SetMaskList(const std::string& Value);
  TImageFormatInfo FormatInfoFor(TImageFormat Format) const;
  // Stream and memory saves: all images into one handle.
  bool WriteToHandle(THandle Handle, const TDynImageDataArray& Images, bool OnlyFirstLevel);

  std::vector<std::string> FExtensions;
  std::vector<std::string> FMasks;
  std::string FName;
  bool FCanLoad = false;
  bool FCanSave = false;
  bool FIsMultiImageFormat = false;
  TImageFormats FSupportedFormats;
  // The images a multi-image save writes (set by BeginWrite). A handler
  // object serves every thread, so the range is the thread's own.
  static inline thread_local int32_t FFirstIdx = 0;
  static inline thread_local int32_t FLastIdx = 0;
};

// The registry's "virtual constructor": one factory per handler class.
using TImageFileFormatClass = std::function<std::unique_ptr<TImageFileFormat>()>;

// Constructs one instance and appends it to the registry.
void AddFileFormatHandler(const TImageFileFormatClass& HandlerClass);
template <typename THandler>
void AddFileFormatHandler() {
  AddFileFormatHandler([] { return std::unique_ptr<TImageFileFormat>(new THandler()); });
}
// Registers the system's handlers in their fixed order (ImagingHandlers.cpp).
void RegisterFileFormatHandlers();

int32_t HandlerCount();
TImageFileFormat* HandlerAtIndex(int32_t Index);
TImageFileFormat* FindHandlerByExtension(const std::string& Ext);
TImageFileFormat* FindHandlerForFileName(const std::string& FileName);
bool IsSupportedFileName(const std::string& FileName);
std::string DetectFileFormat(const std::string& FileName);
std::string DetectStreamFormat(TStream* Stream);
bool NextFileFormatInfo(int32_t& Index, std::string& Name, std::string& DefaultExt, std::string& Masks,
                        bool& CanSave, bool& IsMultiImageFormat);

// Matches a file name (no folders) against a mask with * and ?, ignoring case.
bool MatchFileNameMask(const std::string& FileName, const std::string& Mask);

bool ReadImageFile(const std::string& FileName, TImageData& Image);
bool ReadImageStream(TStream* Stream, TImageData& Image);
bool WriteImageFile(const std::string& FileName, const TImageData& Image);
bool WriteImageStream(const std::string& Ext, TStream* Stream, const TImageData& Image);

// Multi-image variants over the whole registry (detection by content on load,
// by name or extension on save).
bool ReadImagesFromFile(const std::string& FileName, TDynImageDataArray& Images);
bool WriteImagesToFile(const std::string& FileName, const TDynImageDataArray& Images);

}  // namespace Imaging
