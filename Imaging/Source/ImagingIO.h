// Stream I/O layer: handlers read and write through a table of eight
// operations on an opaque handle, over files (with a 16 KiB block buffer),
// caller streams or a fixed memory block.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace Imaging {

enum TSeekMode : int32_t { smFromBeginning = 0, smFromCurrent = 1, smFromEnd = 2 };

// A byte stream supplied by a caller (and the file stream under the file
// table). Positions are 64-bit; the I/O tables work in 32 bits.
class TStream {
public:
  virtual ~TStream() = default;
  // Reads up to Count bytes; returns the number read (0 at the end).
  virtual int32_t Read(void* Buffer, int32_t Count) = 0;
  // Writes Count bytes; returns the number written.
  virtual int32_t Write(const void* Buffer, int32_t Count) = 0;
  // Moves the position; returns the new position or -1 on failure.
  virtual int64_t Seek(int64_t Offset, TSeekMode Origin) = 0;
  virtual int64_t GetSize() = 0;
  int64_t GetPosition() { return Seek(0, smFromCurrent); }
  void SetPosition(int64_t Position) { Seek(Position, smFromBeginning); }
};

// A file opened for reading or writing. Opening failures raise Exception
// with the system's reason.
class TFileStream : public TStream {
public:
  enum TMode { fmOpenRead, fmCreate };
  TFileStream(const std::string& FileName, TMode Mode);
  ~TFileStream() override;
  int32_t Read(void* Buffer, int32_t Count) override;
  int32_t Write(const void* Buffer, int32_t Count) override;
  int64_t Seek(int64_t Offset, TSeekMode Origin) override;
  int64_t GetSize() override;
  // Flushes to the operating system and closes; false when that failed.
  bool CloseFile();
  const std::string& FileName() const { return FFileName; }

private:
  int FHandle = -1;
  std::string FFileName;
};

// A growable stream in memory (for callers and tests).
class TMemoryStream : public TStream {
public:
  TMemoryStream() = default;
  explicit TMemoryStream(std::vector<uint8_t> Data) : FData(std::move(Data)) {}
  int32_t Read(void* Buffer, int32_t Count) override;
  int32_t Write(const void* Buffer, int32_t Count) override;
  int64_t Seek(int64_t Offset, TSeekMode Origin) override;
  int64_t GetSize() override { return int64_t(FData.size()); }
  std::vector<uint8_t>& Data() { return FData; }

private:
  std::vector<uint8_t> FData;
  int64_t FPosition = 0;
};

// Block buffer of 16 KiB over a stream it does not own. Blocks are aligned to
// multiples of the buffer size; a dirty block is written before another block
// is loaded. Failures of the underlying stream raise Exception.
class TBufferedStream {
public:
  explicit TBufferedStream(TStream* Stream);
  // Commits what is left (errors are swallowed here; call Commit first to
  // learn about them) and puts the stream's position at the logical position.
  ~TBufferedStream();
  TBufferedStream(const TBufferedStream&) = delete;
  TBufferedStream& operator=(const TBufferedStream&) = delete;

  int32_t Read(void* Buffer, int32_t Count);
  int32_t Write(const void* Buffer, int32_t Count);
  int32_t Seek(int32_t Offset, int32_t Origin);
  // Writes a dirty buffer to the stream.
  void Commit();

  TStream* Stream() const { return FStream; }
  int32_t Position() const { return FBufStart + FBufPos; }
  int32_t Size() const { return FSize; }

  static constexpr int32_t BufferSize = 0x10000;

private:
  void ReadBuffer();
  void WriteBuffer();

  std::unique_ptr<uint8_t[]> FBuffer;
  int32_t FBufSize = BufferSize;
  int32_t FBufStart = 0;
  int32_t FBufPos = 0;
  int32_t FBytesInBuf = 0;
  int32_t FSize = 0;
  bool FDirty = false;
  TStream* FStream = nullptr;
};

using THandle = void*;

using TOpenReadProc = THandle (*)(const void* Source);
using TOpenWriteProc = THandle (*)(const void* Source);
// Releases what the open created. False when pending data could not be
// written (a failed save must be reported as such).
using TCloseProc = bool (*)(THandle Handle);
using TEofProc = bool (*)(THandle Handle);
using TSeekProc = int32_t (*)(THandle Handle, int32_t Offset, TSeekMode Mode);
using TTellProc = int32_t (*)(THandle Handle);
using TReadProc = int32_t (*)(THandle Handle, void* Buffer, int32_t Count);
using TWriteProc = int32_t (*)(THandle Handle, const void* Buffer, int32_t Count);

struct TIOFunctions {
  TOpenReadProc OpenRead = nullptr;
  TOpenWriteProc OpenWrite = nullptr;
  TCloseProc Close = nullptr;
  TEofProc Eof = nullptr;
  TSeekProc Seek = nullptr;
  TTellProc Tell = nullptr;
  TReadProc Read = nullptr;
  TWriteProc Write = nullptr;
};

// State of the memory table: a fixed block that never grows. Needed records
// how far the writes would have reached in a block large enough (Dropped is
// what was cut off so far), so that a save that did not fit can report how
// many bytes it needed.
struct TMemoryIOState {
  void* Data = nullptr;
  int32_t Position = 0;
  int32_t Size = 0;
  int64_t Needed = 0;
  int64_t Dropped = 0;
};

// Files of this size or more are refused on open: positions are 32-bit.
constexpr int64_t MaxFileSize = 0x7FFFFFFF;

extern TIOFunctions FileIOTable;
extern TIOFunctions StreamIOTable;
extern TIOFunctions MemoryIOTable;
extern thread_local TIOFunctions ActiveFileIOTable;
extern thread_local TIOFunctions ActiveIOTable;

// Fills the three tables and copies the file table to ActiveFileIOTable.
void InitIOFunctions();
void UseFileIO();
void UseStreamIO();
void UseMemoryIO();
void RestoreDefaultFileIO();
void InitMemoryIOState(void* Data, int32_t Size, TMemoryIOState& State);

// A copy of the table in force; handlers call it once per operation.
TIOFunctions CurrentIOTable();
// Total size behind Handle; the position is restored.
int32_t MeasureHandleSize(const TIOFunctions& IO, THandle Handle);

}  // namespace Imaging
