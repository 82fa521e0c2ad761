// The I/O tables and the block-buffered stream.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>

#include "Imaging.h"
#include "TestSupport.h"

using namespace Imaging;

namespace {

std::vector<uint8_t> Pattern(size_t N, uint32_t Seed = 1) {
  std::vector<uint8_t> v(N);
  std::mt19937 rng(Seed);
  for (auto& b : v) b = uint8_t(rng());
  return v;
}

// A stream whose writes fail, to see how failures are reported.
class TFailingStream : public TMemoryStream {
public:
  int32_t Write(const void*, int32_t) override { return 0; }
};

}  // namespace

TEST(MemoryIO, ReadsAndWritesStayInsideTheBlock) {
  InitIOFunctions();
  std::vector<uint8_t> block = Pattern(100);
  TMemoryIOState state;
  InitMemoryIOState(block.data(), 100, state);
  const TIOFunctions& io = MemoryIOTable;
  uint8_t buf[200] = {};

  EXPECT_EQ(io.Seek(&state, 95, smFromBeginning), 95);
  EXPECT_EQ(io.Read(&state, buf, 10), 5);
  EXPECT_EQ(0, std::memcmp(buf, block.data() + 95, 5));
  EXPECT_TRUE(io.Eof(&state));

  // Seeking does not check the range; reads past the end copy nothing and
  // move the position back to the end.
  EXPECT_EQ(io.Seek(&state, 500, smFromBeginning), 500);
  std::memset(buf, 0xAB, sizeof buf);
  EXPECT_EQ(io.Read(&state, buf, 10), 0);
  EXPECT_EQ(buf[0], 0xAB);
  EXPECT_EQ(io.Tell(&state), 100);

  // Negative positions and counts, and positions whose sum with the count
  // overflows, copy nothing.
  io.Seek(&state, -10, smFromBeginning);
  EXPECT_EQ(io.Read(&state, buf, 20), 0);
  EXPECT_EQ(io.Write(&state, buf, 20), 0);
  io.Seek(&state, 50, smFromBeginning);
  EXPECT_EQ(io.Read(&state, buf, -5), 0);
  EXPECT_EQ(io.Read(&state, buf, 0x7FFFFFF0), 50);
  io.Seek(&state, 0x7FFFFFF0, smFromBeginning);
  EXPECT_EQ(io.Write(&state, buf, 0x7FFFFFF0), 0);

  // Writes are cut at the end of the block.
  std::vector<uint8_t> src = Pattern(30, 7);
  io.Seek(&state, 90, smFromBeginning);
  EXPECT_EQ(io.Write(&state, src.data(), 30), 10);
  EXPECT_EQ(0, std::memcmp(block.data() + 90, src.data(), 10));
  EXPECT_EQ(io.Seek(&state, -4, smFromEnd), 96);
  EXPECT_EQ(io.Seek(&state, 2, smFromCurrent), 98);
}

TEST(StreamIO, PassesThroughToTheCallersStream) {
  InitIOFunctions();
  TMemoryStream stream(Pattern(50));
  const TIOFunctions& io = StreamIOTable;
  THandle h = io.OpenRead(&stream);
  ASSERT_NE(h, nullptr);
  uint8_t buf[64];
  EXPECT_EQ(io.Read(h, buf, 64), 50);
  EXPECT_TRUE(io.Eof(h));
  EXPECT_EQ(io.Seek(h, -20, smFromEnd), 30);
  EXPECT_EQ(io.Tell(h), 30);
  EXPECT_EQ(MeasureHandleSize(io, h), 50);
  EXPECT_EQ(io.Tell(h), 30);
  EXPECT_TRUE(io.Close(h));
  EXPECT_EQ(stream.GetPosition(), 30);
}

// A stream that takes at most Room bytes in all, as a full device would.
class TFillingStream : public TMemoryStream {
public:
  explicit TFillingStream(int32_t Room) : FRoom(Room) {}
  int32_t Write(const void* Buffer, int32_t Count) override {
    int32_t n = std::clamp(Count, 0, FRoom);
    FRoom -= n;
    return TMemoryStream::Write(Buffer, n);
  }

private:
  int32_t FRoom;
};

TEST(StreamIO, CloseReportsAWriteTheStreamTookOnlyInPart) {
  InitIOFunctions();
  TFillingStream stream(10);
  const TIOFunctions& io = StreamIOTable;
  THandle h = io.OpenWrite(&stream);
  uint8_t buf[8] = {};
  EXPECT_EQ(io.Write(h, buf, 8), 8);
  EXPECT_EQ(io.Write(h, buf, 0), 0);
  EXPECT_EQ(io.Write(h, buf, 8), 2);
  EXPECT_FALSE(io.Close(h));
  TFillingStream roomy(100);
  h = io.OpenWrite(&roomy);
  EXPECT_EQ(io.Write(h, buf, 8), 8);
  EXPECT_TRUE(io.Close(h));
}

TEST(StreamIO, EverySaveIntoAStreamThatFillsUpFails) {
  InitImaging();
  TImageData image = TestSupport::RandomImage(64, 48, fmtA8R8G8B8, 5);
  int handlers = 0;
  for (int32_t i = 0; i < HandlerCount(); ++i) {
    TImageFileFormat* handler = HandlerAtIndex(i);
    if (!handler->CanSave()) continue;
    ++handlers;
    for (int32_t room : {0, 20, 300}) {
      TFillingStream stream(room);
      bool saved = true;
      try {
        saved = handler->SaveToStream(&stream, TDynImageDataArray{image}, true);
      } catch (const EImagingError&) {
        saved = false;
      }
      EXPECT_FALSE(saved) << handler->Name() << " into " << room << " bytes";
    }
  }
  EXPECT_GE(handlers, 9);
  ReleaseImage(image);
}

TEST(BufferedStream, ReadAcrossABlockBoundary) {
  std::vector<uint8_t> data = Pattern(20000);
  TMemoryStream stream(data);
  TBufferedStream b(&stream);
  EXPECT_EQ(b.Size(), 20000);
  EXPECT_EQ(b.Seek(16380, smFromBeginning), 16380);
  uint8_t buf[10];
  EXPECT_EQ(b.Read(buf, 10), 10);
  EXPECT_EQ(0, std::memcmp(buf, data.data() + 16380, 10));
  EXPECT_EQ(b.Position(), 16390);
  // Reads at or past the end return 0.
  b.Seek(20000, smFromBeginning);
  EXPECT_EQ(b.Read(buf, 10), 0);
  b.Seek(25000, smFromBeginning);
  EXPECT_EQ(b.Read(buf, 10), 0);
  b.Seek(-5, smFromBeginning);
  EXPECT_EQ(b.Read(buf, 10), 0);
  EXPECT_THROW(b.Seek(0, 7), Exception);
}

TEST(BufferedStream, ReadEndingAtABlockBoundaryLoadsTheNextBlockLater) {
  constexpr int32_t Block = TBufferedStream::BufferSize;
  std::vector<uint8_t> data = Pattern(size_t(Block) * 2 + 7000);
  TMemoryStream stream(data);
  TBufferedStream b(&stream);
  std::vector<uint8_t> buf(static_cast<size_t>(Block));
  EXPECT_EQ(b.Read(buf.data(), Block), Block);
  EXPECT_EQ(b.Position(), Block);
  uint8_t next[4];
  EXPECT_EQ(b.Read(next, 4), 4);
  EXPECT_EQ(0, std::memcmp(next, data.data() + Block, 4));
}

TEST(BufferedStream, PartialOverwriteKeepsTheRestOfTheFile) {
  std::vector<uint8_t> data = Pattern(100);
  TMemoryStream stream(data);
  {
    TBufferedStream b(&stream);
    b.Seek(5, smFromBeginning);
    const uint8_t three[3] = {1, 2, 3};
    EXPECT_EQ(b.Write(three, 3), 3);
  }
  std::vector<uint8_t> expected = data;
  expected[5] = 1;
  expected[6] = 2;
  expected[7] = 3;
  EXPECT_EQ(stream.Data(), expected);
  EXPECT_EQ(stream.GetPosition(), 8);
}

TEST(BufferedStream, WrittenBytesSurviveEveryWayOfLeavingTheBlock) {
  constexpr int32_t Block = TBufferedStream::BufferSize;
  std::vector<uint8_t> data = Pattern(size_t(Block) * 2 + 7000);
  // Leaving by a seek to another block.
  {
    TMemoryStream stream(data);
    TBufferedStream b(&stream);
    b.Write("ABC", 3);
    b.Seek(Block + 3600, smFromBeginning);
    EXPECT_EQ(0, std::memcmp(stream.Data().data(), "ABC", 3));
  }
  // Leaving by a read that ends exactly at the end of the dirty block.
  {
    TMemoryStream stream(data);
    {
      TBufferedStream b(&stream);
      b.Write("ABC", 3);
      b.Seek(Block - 384, smFromBeginning);
      std::vector<uint8_t> buf(384);
      EXPECT_EQ(b.Read(buf.data(), 384), 384);
      EXPECT_EQ(b.Position(), Block);
      uint8_t more[8];
      EXPECT_EQ(b.Read(more, 8), 8);
    }
    EXPECT_EQ(0, std::memcmp(stream.Data().data(), "ABC", 3));
  }
  // Leaving by a read that crosses into the next block.
  {
    TMemoryStream stream(data);
    {
      TBufferedStream b(&stream);
      b.Seek(Block - 384, smFromBeginning);
      b.Write("XYZ", 3);
      std::vector<uint8_t> buf(1000);
      EXPECT_EQ(b.Read(buf.data(), 1000), 1000);
      EXPECT_EQ(0, std::memcmp(buf.data(), data.data() + Block - 381, 1000));
    }
    EXPECT_EQ(0, std::memcmp(stream.Data().data() + Block - 384, "XYZ", 3));
  }
}

TEST(BufferedStream, RandomOperationsMatchAPlainModel) {
  std::mt19937 rng(1234);
  for (int round = 0; round < 40; ++round) {
    std::vector<uint8_t> model = Pattern(size_t(rng() % 50000), uint32_t(round));
    TMemoryStream stream(model);
    {
      TBufferedStream b(&stream);
      int64_t pos = 0;
      for (int op = 0; op < 200; ++op) {
        int kind = int(rng() % 3);
        if (kind == 0) {
          pos = int64_t(rng() % (model.size() + 20000));
          // Writes after a seek past the end leave a gap: keep the model's
          // position inside what exists so that gaps stay out of the model.
          if (pos > int64_t(model.size())) pos = int64_t(model.size());
          EXPECT_EQ(b.Seek(int32_t(pos), smFromBeginning), pos);
        } else if (kind == 1) {
          int32_t n = int32_t(rng() % 40000);
          std::vector<uint8_t> buf(size_t(n) + 1);
          int32_t expected = int32_t(std::max<int64_t>(0, std::min<int64_t>(n, int64_t(model.size()) - pos)));
          ASSERT_EQ(b.Read(buf.data(), n), expected) << "round " << round << " op " << op;
          ASSERT_EQ(0, std::memcmp(buf.data(), model.data() + pos, size_t(expected)));
          pos += expected;
        } else {
          int32_t n = int32_t(rng() % 40000) + 1;
          std::vector<uint8_t> buf = Pattern(size_t(n), rng());
          ASSERT_EQ(b.Write(buf.data(), n), n);
          if (pos + n > int64_t(model.size())) model.resize(size_t(pos + n));
          std::memcpy(model.data() + pos, buf.data(), size_t(n));
          pos += n;
        }
        ASSERT_EQ(b.Position(), pos);
        ASSERT_EQ(b.Size(), int32_t(model.size()));
      }
    }
    ASSERT_EQ(stream.Data(), model) << "round " << round;
  }
}

TEST(BufferedStream, FailedWritesRaiseTheirMessages) {
  TFailingStream stream;
  TBufferedStream b(&stream);
  std::vector<uint8_t> block(size_t(TBufferedStream::BufferSize), 1);
  try {
    b.Write(block.data(), TBufferedStream::BufferSize);
    FAIL() << "a full block must be written at once";
  } catch (const Exception& e) {
    EXPECT_STREQ(e.what(), "TBufferedStream.WriteBuffer: write failed");
  }
}

TEST(FileIO, ReadsWritesAndMeasuresFiles) {
  TestSupport::TempDir dir;
  InitIOFunctions();
  std::string name = dir.File("data.bin");
  std::vector<uint8_t> data = Pattern(50000);
  const TIOFunctions& io = FileIOTable;
  THandle h = io.OpenWrite(name.c_str());
  EXPECT_EQ(io.Write(h, data.data(), 50000), 50000);
  EXPECT_EQ(io.Seek(h, 10, smFromBeginning), 10);
  EXPECT_EQ(io.Write(h, "patch", 5), 5);
  EXPECT_TRUE(io.Close(h));
  std::memcpy(data.data() + 10, "patch", 5);
  EXPECT_EQ(TestSupport::ReadFileBytes(name), data);

  h = io.OpenRead(name.c_str());
  io.Seek(h, 123, smFromBeginning);
  EXPECT_EQ(MeasureHandleSize(io, h), 50000);
  EXPECT_EQ(io.Tell(h), 123);
  std::vector<uint8_t> back(50000);
  io.Seek(h, 0, smFromBeginning);
  EXPECT_EQ(io.Read(h, back.data(), 60000), 50000);
  EXPECT_TRUE(io.Eof(h));
  EXPECT_EQ(back, data);
  EXPECT_TRUE(io.Close(h));

  EXPECT_THROW(io.OpenRead(dir.File("missing.bin").c_str()), Exception);
  EXPECT_THROW(io.OpenRead(dir.Path().c_str()), Exception);
}

TEST(FileIO, AFailedFinalFlushIsReportedByClose) {
  InitIOFunctions();
  if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "/dev/full is not available";
  THandle h = FileIOTable.OpenWrite("/dev/full");
  EXPECT_EQ(FileIOTable.Write(h, "abc", 3), 3);  // still in the buffer
  EXPECT_FALSE(FileIOTable.Close(h));
}

TEST(FileIO, FilesOf2GiBOrMoreAreRefused) {
  TestSupport::TempDir dir;
  InitIOFunctions();
  std::string name = dir.File("huge.bin");
  {
    std::ofstream f(name, std::ios::binary);
  }
  std::filesystem::resize_file(name, uint64_t(1) << 31);  // sparse
  try {
    FileIOTable.OpenRead(name.c_str());
    FAIL() << "a 2 GiB file must be refused";
  } catch (const Exception& e) {
    EXPECT_NE(std::string(e.what()).find("too large"), std::string::npos);
  }
}

TEST(BufferedStream, LargeReadsMatchTheDataWhereverTheyStartAndEnd) {
  // Reads over many blocks go partly straight to the caller; mixed with
  // small reads, seeks and writes they must give exactly the stream's bytes.
  const int32_t block = TBufferedStream::BufferSize;
  const std::vector<uint8_t> data = Pattern(size_t(block) * 9 + 123, 7);
  struct TCase {
    int64_t Start;
    int32_t Count;
  };
  const TCase cases[] = {{0, block * 3},         {0, block * 3 + 1},     {5, block * 2 - 5},  {5, block * 4},
                         {block - 1, block + 2}, {block, block * 5},     {3, int32_t(data.size())},
                         {block * 8, block * 2}, {block * 2 + 17, block * 6 + 106}};
  for (const TCase& c : cases) {
    SCOPED_TRACE(std::to_string(c.Start) + " + " + std::to_string(c.Count));
    TMemoryStream stream(data);
    TBufferedStream b(&stream);
    uint8_t first[3];
    ASSERT_EQ(b.Read(first, 3), 3);  // something already in the buffer
    b.Seek(c.Start, smFromBeginning);
    std::vector<uint8_t> got(size_t(c.Count) + 8, 0xEE);
    const int64_t expected = std::min<int64_t>(c.Count, int64_t(data.size()) - c.Start);
    ASSERT_EQ(b.Read(got.data(), c.Count), expected);
    EXPECT_TRUE(std::equal(got.begin(), got.begin() + expected, data.begin() + c.Start));
    EXPECT_EQ(got[size_t(expected)], 0xEE);
    EXPECT_EQ(b.Position(), c.Start + expected);
    // The next small read goes on from there.
    uint8_t next = 0;
    if (c.Start + expected < int64_t(data.size())) {
      ASSERT_EQ(b.Read(&next, 1), 1);
      EXPECT_EQ(next, data[size_t(c.Start + expected)]);
    }
  }
  // A write in the buffer is on the stream before a large read passes it.
  TMemoryStream stream(data);
  {
    TBufferedStream b(&stream);
    const uint8_t mark[4] = {1, 2, 3, 4};
    b.Seek(10, smFromBeginning);
    b.Write(mark, 4);
    b.Seek(0, smFromBeginning);
    std::vector<uint8_t> got(size_t(block) * 4);
    ASSERT_EQ(b.Read(got.data(), int32_t(got.size())), int32_t(got.size()));
    EXPECT_EQ(0, std::memcmp(got.data() + 10, mark, 4));
    EXPECT_TRUE(std::equal(got.begin() + 14, got.end(), data.begin() + 14));
  }
}

TEST(PixelMemory, LargeBlocksAreZeroedAlignedAndReleased) {
  // From 1 MiB on, blocks sit at 2 MiB boundaries (huge pages) outside
  // sanitizer builds; every block is zero-filled and released by FreeMem.
  const int64_t sizes[] = {1, 4095, (1 << 20) - 1, 1 << 20, 36000000, 0x7FFFFFFF / 16};
  for (int round = 0; round < 3; ++round) {
    for (int64_t size : sizes) {
      SCOPED_TRACE(size);
      auto* p = static_cast<uint8_t*>(AllocMem(size));
      ASSERT_NE(p, nullptr);
      EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % 16, 0u);
      for (int64_t at : {int64_t(0), size / 2, size - 1}) EXPECT_EQ(p[at], 0);
      std::memset(p, 0xFF, size_t(size));
      FreeMem(p);
    }
  }
  // Released blocks are handed out again for about the same size, and a
  // larger kept block serves a smaller size: every byte of the new block is
  // zero again, in each kind of block.
  std::vector<std::pair<int64_t, int64_t>> reuses = {{1000000, 600000}, {3000000, 1100000}, {200000, 70000}};
  for (int64_t size : {int64_t(65536), int64_t(300000), int64_t(1228800), int64_t(5000000)})
    for (int64_t second : {size, size - 1000, size - 1}) reuses.emplace_back(size, second);
  for (auto [size, second] : reuses) {
    SCOPED_TRACE(std::to_string(size) + " then " + std::to_string(second));
    auto* p = static_cast<uint8_t*>(AllocMem(size));
    std::memset(p, 0xA5, size_t(size));
    FreeMem(p);
    auto* q = static_cast<uint8_t*>(AllocMem(second));
    EXPECT_EQ(std::count(q, q + second, 0), second);
    std::memset(q, 0x5A, size_t(second));
    FreeMem(q);
  }
  // Kept memory goes back on request; allocation goes on as before.
  TrimMemory();
  auto* p = static_cast<uint8_t*>(AllocMem(300000));
  EXPECT_EQ(std::count(p, p + 300000, 0), 300000);
  FreeMem(p);
  TrimMemory();
  FreeMem(nullptr);
  EXPECT_THROW(AllocMem(-1), EImagingError);
  EXPECT_THROW(AllocMem(int64_t(0x7FFFFFFF) + 1), EImagingError);
}
