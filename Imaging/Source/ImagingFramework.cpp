// The file format framework: handler base class, registry, content detection,
// load and save sequences, and the numbered option table.
#include <algorithm>
#include <cctype>
#include <cstdio>

#include "Imaging.h"

namespace Imaging {

// ---------------------------------------------------------------------------
// Registry and option table state
// ---------------------------------------------------------------------------

namespace {

using THandlerList = std::vector<std::unique_ptr<TImageFileFormat>>;

THandlerList* HandlerRegistry = nullptr;
std::vector<int32_t*>* OptionTable = nullptr;
TOptionStack* TheOptionStack = nullptr;
bool ImagingInitialized = false;

// The core's own options.
int32_t ColorReductionMaskValue = 255;
int32_t LoadOverrideFormatValue = 0;
int32_t SaveOverrideFormatValue = 0;
int32_t SamplingFilterValue = 1;
int32_t MaxPixelsValue = DefaultMaxPixels;

void EnsureOptionTable() {
  if (!OptionTable) {
    OptionTable = new std::vector<int32_t*>(256, nullptr);
    TheOptionStack = new TOptionStack();
  }
}

std::string UpperCase(const std::string& S) {
  std::string r = S;
  for (char& c : r) c = char(std::toupper(static_cast<unsigned char>(c)));
  return r;
}

bool SameText(const std::string& A, const std::string& B) {
  return A.size() == B.size() && UpperCase(A) == UpperCase(B);
}

std::string ExtractFileName(const std::string& Path) {
  size_t slash = Path.find_last_of('/');
  return slash == std::string::npos ? Path : Path.substr(slash + 1);
}

std::string Trim(const std::string& S) {
  size_t b = 0, e = S.size();
  while (b < e && static_cast<unsigned char>(S[b]) <= ' ') ++b;
  while (e > b && static_cast<unsigned char>(S[e - 1]) <= ' ') --e;
  return S.substr(b, e - b);
}

}  // namespace

// ---------------------------------------------------------------------------
// Start-up and shutdown
// ---------------------------------------------------------------------------

void InitImaging() {
  if (ImagingInitialized) return;
  ImagingInitialized = true;
  InitIOFunctions();
  RegisterFileFormatHandlers();
  InitFormatInfoTable();
  RegisterOptionVariable(OptColorReductionMask, &ColorReductionMaskValue);
  RegisterOptionVariable(OptLoadOverrideFormat, &LoadOverrideFormatValue);
  RegisterOptionVariable(OptSaveOverrideFormat, &SaveOverrideFormatValue);
  RegisterOptionVariable(OptSamplingFilter, &SamplingFilterValue);
  RegisterOptionVariable(OptMaxPixels, &MaxPixelsValue);
}

void FreeImaging() {
  delete OptionTable;
  OptionTable = nullptr;
  delete TheOptionStack;
  TheOptionStack = nullptr;
  delete HandlerRegistry;
  HandlerRegistry = nullptr;
  ColorReductionMaskValue = 255;
  LoadOverrideFormatValue = 0;
  SaveOverrideFormatValue = 0;
  SamplingFilterValue = 1;
  MaxPixelsValue = DefaultMaxPixels;
  ImagingInitialized = false;
}

// ---------------------------------------------------------------------------
// Options
// ---------------------------------------------------------------------------

bool RegisterOptionVariable(int32_t Id, int32_t* Variable) {
  IMAGING_ASSERT(Variable != nullptr);
  EnsureOptionTable();
  if (Id < 0) return false;
  if (size_t(Id) >= OptionTable->size()) OptionTable->resize(size_t(Id) + 256, nullptr);
  (*OptionTable)[size_t(Id)] = Variable;
  return true;
}

int32_t ClampOptionValue(int32_t Id, int32_t Value) {
  switch (Id) {
    case OptColorReductionMask:
      return std::clamp(Value, 0, 255);
    case OptLoadOverrideFormat:
    case OptSaveOverrideFormat:
      return IsFormatValid(TImageFormat(Value)) ? Value : 0;
    case OptSamplingFilter:
      return std::clamp(Value, 0, 9);
    case OptMaxPixels:
      return std::max(Value, 0);
    default:
      return Value;
  }
}

bool SetImagingOption(int32_t Id, int32_t Value) {
  if (!OptionTable || Id < 0 || size_t(Id) >= OptionTable->size() || !(*OptionTable)[size_t(Id)]) return false;
  *(*OptionTable)[size_t(Id)] = ClampOptionValue(Id, Value);
  return true;
}

int32_t GetImagingOption(int32_t Id) {
  if (!OptionTable || Id < 0 || size_t(Id) >= OptionTable->size() || !(*OptionTable)[size_t(Id)])
    return InvalidOptionValue;
  return *(*OptionTable)[size_t(Id)];
}

bool TOptionStack::Push() {
  if (FPosition >= StackSize - 1) return false;
  EnsureOptionTable();
  ++FPosition;
  TOptionValueArray& level = FStack[FPosition];
  level.assign(OptionTable->size(), 0);
  for (size_t i = 0; i < OptionTable->size(); ++i)
    if ((*OptionTable)[i]) level[i] = *(*OptionTable)[i];
  return true;
}

bool TOptionStack::Pop() {
  if (FPosition < 0) return false;
  EnsureOptionTable();
  TOptionValueArray& level = FStack[FPosition];
  OptionTable->resize(level.size(), nullptr);
  for (size_t i = 0; i < level.size(); ++i)
    if ((*OptionTable)[i]) *(*OptionTable)[i] = level[i];
  level.clear();
  --FPosition;
  return true;
}

TOptionStack& OptionStack() {
  EnsureOptionTable();
  return *TheOptionStack;
}

int32_t ColorReductionMask() { return ColorReductionMaskValue; }
int32_t LoadOverrideFormat() { return LoadOverrideFormatValue; }
int32_t SaveOverrideFormat() { return SaveOverrideFormatValue; }
int32_t MaxPixels() { return MaxPixelsValue; }

void CheckPixelLimit(int64_t Width, int64_t Height) {
  const int64_t limit = MaxPixelsValue;
  // Width x Height > limit, without overflow.
  if (limit <= 0 || Width <= 0 || Height <= 0 || Width <= limit / Height) return;
  RaiseImagingError("The image has %d x %d pixels, more than the limit of %.0n pixels.", (long long)Width,
                    (long long)Height, (long long)limit);
}

// ---------------------------------------------------------------------------
// Name masks
// ---------------------------------------------------------------------------

// Wildcard match with one backtracking point (the last '*'), which accepts
// exactly the names the recursive definition accepts; '?' consumes one
// character, and once the name is used up, trailing '*' and '?' match nothing.
bool MatchFileNameMask(const std::string& FileName, const std::string& Mask) {
  if (Mask.empty()) return true;
  auto up = [](char c) { return char(std::toupper(static_cast<unsigned char>(c))); };
  size_t n = FileName.size(), m = Mask.size();
  size_t i = 0, j = 0;
  size_t starJ = std::string::npos, starI = 0;
  while (i < n) {
    if (j < m && Mask[j] == '*') {
      while (j < m && Mask[j] == '*') ++j;
      if (j == m) return true;
      starJ = j;
      starI = i;
      continue;
    }
    if (j < m && (Mask[j] == '?' || up(Mask[j]) == up(FileName[i]))) {
      ++i;
      ++j;
      continue;
    }
    if (starJ != std::string::npos) {
      i = ++starI;
      j = starJ;
      continue;
    }
    return false;
  }
  while (j < m && (Mask[j] == '*' || Mask[j] == '?')) ++j;
  return j == m;
}

// ---------------------------------------------------------------------------
// TImageFileFormat
// ---------------------------------------------------------------------------

TImageFileFormat::TImageFileFormat() : FName("Unknown and unsupported format") {}

TImageFileFormat::~TImageFileFormat() = default;

TImageFormats TImageFileFormat::GetSupportedFormats() const { return FSupportedFormats; }

bool TImageFileFormat::ReadImages(THandle, TDynImageDataArray&, bool) {
  RaiseImagingError("Image Format \"%s\" does not support loading images.", FName);
}

bool TImageFileFormat::WriteImages(THandle, const TDynImageDataArray&, int32_t) {
  RaiseImagingError("Image Format \"%s\" does not support saving images.", FName);
}

void TImageFileFormat::ConvertToAccepted(TImageData&, const TImageFormatInfo&) {}

bool TImageFileFormat::AcceptsImage(const TImageData& Image) const {
  return GetSupportedFormats().Contains(Image.Format);
}

bool TImageFileFormat::TestFormat(THandle) { return false; }

void TImageFileFormat::CheckOptionsValidity() {}

void TImageFileFormat::SetMaskList(const std::string& Value) {
  FExtensions.clear();
  FMasks.clear();
  // Commas and blanks both separate items.
  std::string item;
  auto flush = [&]() {
    if (!item.empty()) FMasks.push_back(item);
    item.clear();
  };
  for (char c : Value) {
    if (c == ',' || c == ' ')
      flush();
    else
      item.push_back(c);
  }
  flush();
  for (std::string& mask : FMasks) {
    mask = Trim(mask);
    size_t dot = mask.find_last_of('.');
    std::string ext = dot == std::string::npos ? std::string() : mask.substr(dot);
    if (ext.size() > 1) ext.erase(0, 1);
    if (!ext.empty() && ext != "*" && ext != ".") FExtensions.push_back(ext);
  }
}

bool TImageFileFormat::TestFileName(const std::string& FileName) const {
  std::string name = ExtractFileName(FileName);
  for (const std::string& mask : FMasks)
    if (MatchFileNameMask(name, mask)) return true;
  return false;
}

TImageFormatInfo TImageFileFormat::FormatInfoFor(TImageFormat Format) const {
  TImageFormatInfo info;
  QueryFormatInfo(Format, info);
  return info;
}

bool TImageFileFormat::BeginRead(THandle Handle, TDynImageDataArray& Images, bool) {
  ReleaseImageArray(Images);
  return Handle != nullptr;
}

bool TImageFileFormat::FinishRead(TDynImageDataArray& Images) {
  bool result = AreValidImages(Images);
  if (result && LoadOverrideFormatValue != 0)
    for (TImageData& image : Images) ChangeImageFormat(image, TImageFormat(LoadOverrideFormatValue));
  return result;
}

bool TImageFileFormat::BeginWrite(THandle, const TDynImageDataArray& Images, int32_t& Index) {
  CheckOptionsValidity();
  if (!FCanSave) return false;
  IMAGING_ASSERT(!Images.empty());
  int32_t count = int32_t(Images.size());
  if (!FIsMultiImageFormat) {
    if (Index < 0 || Index >= count) Index = 0;
    return IsValidImage(Images[size_t(Index)]);
  }
  if (Index >= count) Index = 0;
  if (Index < 0) {
    Index = 0;
    FFirstIdx = 0;
    FLastIdx = count - 1;
  } else {
    FFirstIdx = FLastIdx = Index;
  }
  for (int32_t i = FFirstIdx; i <= FLastIdx; ++i)
    if (!IsValidImage(Images[size_t(i)])) return false;
  return true;
}

namespace {

// Runs one load over an open-able source with the framework's wrapping: the
// handle is closed in every case and any failure becomes ErrorText chained
// with its cause. Partly loaded images are released on failure.
template <typename TOpen, typename TNotValid, typename TOnError>
bool RunLoad(TImageFileFormat& Handler, TDynImageDataArray& Images, TOpen Open, TNotValid NotValid,
             TOnError OnError, const std::function<bool(THandle)>& Body) {
  TIOFunctions io = CurrentIOTable();
  THandle handle = nullptr;
  try {
    handle = Open(io);
    if (!Handler.TestFormat(handle)) NotValid();
    bool result = Body(handle);
    THandle h = handle;
    handle = nullptr;
    io.Close(h);
    return result;
  } catch (...) {
    if (handle) io.Close(handle);
    ReleaseImageArray(Images);
    OnError();
    throw;  // not reached: OnError raises
  }
}

}  // namespace

bool TImageFileFormat::LoadFromFile(const std::string& FileName, TDynImageDataArray& Images, bool OnlyFirstLevel) {
  if (!FCanLoad) return false;
  UseFileIO();
  return RunLoad(
      *this, Images, [&](const TIOFunctions& io) { return io.OpenRead(FileName.c_str()); },
      [&] { RaiseImagingError("File \"%s\" is not valid image in \"%s\" format.", FileName, FName); },
      [&] {
        RaiseImagingError("Error while loading images from file \"%s\" (file format: %s).", FileName,
                          FExtensions.empty() ? std::string() : FExtensions[0]);
      },
      [&](THandle h) {
        bool result = BeginRead(h, Images, OnlyFirstLevel) && ReadImages(h, Images, OnlyFirstLevel);
        return result && FinishRead(Images);
      });
}

bool TImageFileFormat::LoadFromStream(TStream* Stream, TDynImageDataArray& Images, bool OnlyFirstLevel) {
  IMAGING_ASSERT(Stream != nullptr);
  if (!FCanLoad) return false;
  int64_t entry = Stream->GetPosition();
  UseStreamIO();
  return RunLoad(
      *this, Images, [&](const TIOFunctions& io) { return io.OpenRead(Stream); },
      [&] {
        RaiseImagingError("Stream %p does not contain valid image in \"%s\" format.", (const void*)Stream, FName);
      },
      [&] {
        Stream->SetPosition(entry);
        RaiseImagingError("Error while loading images from stream %p (file format: %s).", (const void*)Stream,
                          FExtensions.empty() ? std::string() : FExtensions[0]);
      },
      [&](THandle h) {
        bool result = BeginRead(h, Images, OnlyFirstLevel) && ReadImages(h, Images, OnlyFirstLevel);
        return result && FinishRead(Images);
      });
}

bool TImageFileFormat::LoadFromMemory(const void* Data, int32_t Size, TDynImageDataArray& Images,
                                      bool OnlyFirstLevel) {
  if (!FCanLoad) return false;
  TMemoryIOState state;
  InitMemoryIOState(const_cast<void*>(Data), Data ? std::max(Size, 0) : 0, state);
  UseMemoryIO();
  return RunLoad(
      *this, Images, [&](const TIOFunctions& io) { return io.OpenRead(&state); },
      [&] {
        RaiseImagingError("Memory %p (%d Bytes) does not contain valid image in \"%s\" format.", Data, Size, FName);
      },
      [&] {
        RaiseImagingError("Error while loading images from memory %p (%d Bytes) (file format: %s).", Data, Size,
                          FExtensions.empty() ? std::string() : FExtensions[0]);
      },
      [&](THandle h) {
        bool result = BeginRead(h, Images, OnlyFirstLevel) && ReadImages(h, Images, OnlyFirstLevel);
        return result && FinishRead(Images);
      });
}

bool TImageFileFormat::SaveToFile(const std::string& FileName, const TDynImageDataArray& Images,
                                  bool OnlyFirstLevel) {
  if (!FCanSave || !AreValidImages(Images)) return false;
  TIOFunctions io;
  THandle handle = nullptr;
  std::string ext0 = FExtensions.empty() ? std::string() : FExtensions[0];
  try {
    UseFileIO();
    io = CurrentIOTable();
    auto writeOne = [&](const std::string& name, int32_t index) {
      handle = io.OpenWrite(name.c_str());
      bool result = BeginWrite(handle, Images, index) && WriteImages(handle, Images, index);
      THandle h = handle;
      handle = nullptr;
      // The final flush happens here; a failure to store the data is a failed save.
      bool closed = io.Close(h);
      return result && closed;
    };
    if (FIsMultiImageFormat || OnlyFirstLevel || Images.size() == 1)
      return writeOne(FileName, OnlyFirstLevel ? 0 : -1);
    // A single-image handler writes several images to numbered files:
    // out.bmp gives out000.bmp, out001.bmp, ...
    size_t slash = FileName.find_last_of('/');
    size_t dot = FileName.find_last_of('.');
    if (dot != std::string::npos && slash != std::string::npos && dot < slash) dot = std::string::npos;
    std::string stem = dot == std::string::npos ? FileName : FileName.substr(0, dot);
    std::string ext = dot == std::string::npos ? std::string() : FileName.substr(dot);
    for (size_t i = 0; i < Images.size(); ++i) {
      char number[32];
      std::snprintf(number, sizeof number, "%03zu", i);
      if (!writeOne(stem + number + ext, int32_t(i))) return false;
    }
    return true;
  } catch (...) {
    if (handle) io.Close(handle);
    RaiseImagingError("Error while saving images to file \"%s\" (file format: %s).", FileName, ext0);
  }
}

bool TImageFileFormat::WriteToHandle(THandle Handle, const TDynImageDataArray& Images, bool OnlyFirstLevel) {
  if (FIsMultiImageFormat || OnlyFirstLevel) {
    int32_t index = OnlyFirstLevel ? 0 : -1;
    return BeginWrite(Handle, Images, index) && WriteImages(Handle, Images, index);
  }
  // A single-image handler writes every image in turn into the same handle.
  for (size_t i = 0; i < Images.size(); ++i) {
    int32_t index = int32_t(i);
    if (!(BeginWrite(Handle, Images, index) && WriteImages(Handle, Images, index))) return false;
  }
  return true;
}

bool TImageFileFormat::SaveToStream(TStream* Stream, const TDynImageDataArray& Images, bool OnlyFirstLevel) {
  IMAGING_ASSERT(Stream != nullptr);
  if (!FCanSave || !AreValidImages(Images)) return false;
  int64_t entry = Stream->GetPosition();
  UseStreamIO();
  TIOFunctions io = CurrentIOTable();
  THandle handle = nullptr;
  try {
    handle = io.OpenWrite(Stream);
    bool result = WriteToHandle(handle, Images, OnlyFirstLevel);
    THandle h = handle;
    handle = nullptr;
    // A write the stream did not take whole is a failed save.
    bool complete = io.Close(h);
    return result && complete;
  } catch (...) {
    if (handle) io.Close(handle);
    Stream->SetPosition(entry);
    RaiseImagingError("Error while saving images to stream %p (file format: %s).", (const void*)Stream,
                      FExtensions.empty() ? std::string() : FExtensions[0]);
  }
}

bool TImageFileFormat::SaveToMemory(void* Data, int32_t& Size, const TDynImageDataArray& Images,
                                    bool OnlyFirstLevel) {
  if (!FCanSave || !AreValidImages(Images)) return false;
  TMemoryIOState state;
  InitMemoryIOState(Data, Data ? std::max(Size, 0) : 0, state);
  int32_t capacity = Size;
  try {
    UseMemoryIO();
    TIOFunctions io = CurrentIOTable();
    THandle handle = io.OpenWrite(&state);
    bool result = WriteToHandle(handle, Images, OnlyFirstLevel);
    io.Close(handle);
    if (state.Needed > state.Size) {
      // The block was too small: the save failed, and Size tells how many
      // bytes it needed.
      Size = int32_t(std::min<int64_t>(state.Needed, 0x7FFFFFFF));
      return false;
    }
    Size = state.Position;
    return result;
  } catch (...) {
    RaiseImagingError("Error while saving images to memory %p (%d Bytes) (file format: %s).", (const void*)Data,
                      capacity, FExtensions.empty() ? std::string() : FExtensions[0]);
  }
}

bool TImageFileFormat::MakeCompatible(const TImageData& Image, TCompatibleImage& Compatible) {
  if (Compatible.MustBeFreed) ReleaseImage(Compatible.Image);
  Compatible.MustBeFreed = false;
  return MakeCompatible(Image, Compatible.Image, Compatible.MustBeFreed);
}

bool TImageFileFormat::MakeCompatible(const TImageData& Image, TImageData& Compatible, bool& MustBeFreed) {
  ResetImage(Compatible);
  bool result;
  try {
    if (SaveOverrideFormatValue != 0) {
      DuplicateImage(Image, Compatible);
      ChangeImageFormat(Compatible, TImageFormat(SaveOverrideFormatValue));
      if (!AcceptsImage(Compatible)) ConvertToAccepted(Compatible, FormatInfoFor(Compatible.Format));
      result = AcceptsImage(Compatible);
    } else if (AcceptsImage(Image)) {
      Compatible = Image;
      result = true;
    } else {
      DuplicateImage(Image, Compatible);
      ConvertToAccepted(Compatible, FormatInfoFor(Compatible.Format));
      result = AcceptsImage(Compatible);
    }
  } catch (...) {
    if (Compatible.Bits != Image.Bits) ReleaseImage(Compatible);
    ResetImage(Compatible);
    throw;
  }
  MustBeFreed = Compatible.Bits != Image.Bits;
  if (!result) {
    // A failed conversion leaves no copy behind.
    if (MustBeFreed) ReleaseImage(Compatible);
    ResetImage(Compatible);
    MustBeFreed = false;
  }
  return result;
}

// ---------------------------------------------------------------------------
// Registry
// ---------------------------------------------------------------------------

void AddFileFormatHandler(const TImageFileFormatClass& HandlerClass) {
  IMAGING_ASSERT(HandlerClass != nullptr);
  if (!HandlerRegistry) HandlerRegistry = new THandlerList();
  HandlerRegistry->push_back(HandlerClass());
}

int32_t HandlerCount() { return HandlerRegistry ? int32_t(HandlerRegistry->size()) : 0; }

TImageFileFormat* HandlerAtIndex(int32_t Index) {
  if (!HandlerRegistry || Index < 0 || size_t(Index) >= HandlerRegistry->size()) return nullptr;
  return (*HandlerRegistry)[size_t(Index)].get();
}

TImageFileFormat* FindHandlerByExtension(const std::string& Ext) {
  for (int32_t i = HandlerCount() - 1; i >= 0; --i) {
    TImageFileFormat* h = HandlerAtIndex(i);
    for (const std::string& e : h->Extensions())
      if (SameText(e, Ext)) return h;
  }
  return nullptr;
}

TImageFileFormat* FindHandlerForFileName(const std::string& FileName) {
  for (int32_t i = HandlerCount() - 1; i >= 0; --i)
    if (HandlerAtIndex(i)->TestFileName(FileName)) return HandlerAtIndex(i);
  return nullptr;
}

bool IsSupportedFileName(const std::string& FileName) { return FindHandlerForFileName(FileName) != nullptr; }

namespace {

std::string DefaultExtension(TImageFileFormat* Handler) {
  return Handler && !Handler->Extensions().empty() ? Handler->Extensions()[0] : std::string();
}

TImageFileFormat* DetectOnHandle(THandle Handle, const std::string* FileName) {
  if (FileName)
    for (int32_t i = 0; i < HandlerCount(); ++i) {
      TImageFileFormat* h = HandlerAtIndex(i);
      if (h->TestFileName(*FileName) && h->TestFormat(Handle)) return h;
    }
  for (int32_t i = 0; i < HandlerCount(); ++i)
    if (HandlerAtIndex(i)->TestFormat(Handle)) return HandlerAtIndex(i);
  return nullptr;
}

}  // namespace

std::string DetectFileFormat(const std::string& FileName) {
  TIOFunctions io;
  THandle handle = nullptr;
  try {
    UseFileIO();
    io = CurrentIOTable();
    handle = io.OpenRead(FileName.c_str());
    TImageFileFormat* found = DetectOnHandle(handle, &FileName);
    THandle h = handle;
    handle = nullptr;
    io.Close(h);
    return DefaultExtension(found);
  } catch (...) {
    if (handle) io.Close(handle);
    return std::string();
  }
}

std::string DetectStreamFormat(TStream* Stream) {
  try {
    UseStreamIO();
    TIOFunctions io = CurrentIOTable();
    THandle handle = io.OpenRead(Stream);
    TImageFileFormat* found = nullptr;
    try {
      found = DetectOnHandle(handle, nullptr);
    } catch (...) {
      io.Close(handle);
      throw;
    }
    io.Close(handle);
    return DefaultExtension(found);
  } catch (...) {
    return std::string();
  }
}

bool NextFileFormatInfo(int32_t& Index, std::string& Name, std::string& DefaultExt, std::string& Masks,
                        bool& CanSave, bool& IsMultiImageFormat) {
  TImageFileFormat* h = HandlerAtIndex(Index);
  if (!h) {
    Name.clear();
    DefaultExt.clear();
    Masks.clear();
    CanSave = false;
    IsMultiImageFormat = false;
    return false;
  }
  Name = h->Name();
  DefaultExt = DefaultExtension(h);
  Masks.clear();
  for (size_t i = 0; i < h->Masks().size(); ++i) {
    if (i) Masks += ';';
    Masks += h->Masks()[i];
  }
  CanSave = h->CanSave();
  IsMultiImageFormat = h->IsMultiImageFormat();
  ++Index;
  return true;
}

// ---------------------------------------------------------------------------
// Single-image entry points
// ---------------------------------------------------------------------------

namespace {

// Keeps image 0 of a loaded array in Image and releases the rest.
bool TakeFirstImage(bool Loaded, TDynImageDataArray& Images, TImageData& Image) {
  if (!Loaded || Images.empty()) {
    ReleaseImageArray(Images);
    return false;
  }
  Image = Images[0];
  for (size_t i = 1; i < Images.size(); ++i) ReleaseImage(Images[i]);
  Images.clear();
  return true;
}

}  // namespace

bool ReadImageFile(const std::string& FileName, TImageData& Image) {
  IMAGING_ASSERT(!FileName.empty());
  TImageFileFormat* handler = FindHandlerByExtension(DetectFileFormat(FileName));
  if (!handler) return false;
  ReleaseImage(Image);
  TDynImageDataArray images;
  bool loaded = handler->LoadFromFile(FileName, images, true);
  return TakeFirstImage(loaded, images, Image);
}

bool ReadImageStream(TStream* Stream, TImageData& Image) {
  IMAGING_ASSERT(Stream != nullptr);
  if (Stream->GetPosition() == Stream->GetSize())
    RaiseImagingError("Input stream has no data. Check Position property.");
  TImageFileFormat* handler = FindHandlerByExtension(DetectStreamFormat(Stream));
  if (!handler) return false;
  ReleaseImage(Image);
  TDynImageDataArray images;
  bool loaded = handler->LoadFromStream(Stream, images, true);
  return TakeFirstImage(loaded, images, Image);
}

bool WriteImageFile(const std::string& FileName, const TImageData& Image) {
  IMAGING_ASSERT(!FileName.empty());
  TImageFileFormat* handler = FindHandlerForFileName(FileName);
  if (!handler) return false;
  TDynImageDataArray images{Image};  // shares the pixels, never released here
  return handler->SaveToFile(FileName, images, true);
}

bool WriteImageStream(const std::string& Ext, TStream* Stream, const TImageData& Image) {
  IMAGING_ASSERT(!Ext.empty() && Stream != nullptr);
  TImageFileFormat* handler = FindHandlerByExtension(Ext);
  if (!handler) return false;
  TDynImageDataArray images{Image};
  return handler->SaveToStream(Stream, images, true);
}

bool ReadImagesFromFile(const std::string& FileName, TDynImageDataArray& Images) {
  IMAGING_ASSERT(!FileName.empty());
  TImageFileFormat* handler = FindHandlerByExtension(DetectFileFormat(FileName));
  if (!handler) return false;
  return handler->LoadFromFile(FileName, Images, false);
}

bool WriteImagesToFile(const std::string& FileName, const TDynImageDataArray& Images) {
  IMAGING_ASSERT(!FileName.empty());
  TImageFileFormat* handler = FindHandlerForFileName(FileName);
  if (!handler) return false;
  return handler->SaveToFile(FileName, Images, false);
}

}  // namespace Imaging
