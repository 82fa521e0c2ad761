// Throughput of the block-buffered file stream: small and large reads and
// writes, and the memory table, in MB/s.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <vector>

#include "Imaging.h"

using namespace Imaging;

namespace {

constexpr int32_t FileBytes = 64 << 20;

std::string BenchFile() {
  static std::string name = (std::filesystem::temp_directory_path() / "vorelle-bench-io.bin").string();
  return name;
}

void PrepareFile() {
  static bool done = false;
  if (done) return;
  InitIOFunctions();
  std::vector<uint8_t> chunk(1 << 20, 0x5A);
  THandle h = FileIOTable.OpenWrite(BenchFile().c_str());
  for (int32_t i = 0; i < FileBytes / int32_t(chunk.size()); ++i) FileIOTable.Write(h, chunk.data(), int32_t(chunk.size()));
  FileIOTable.Close(h);
  done = true;
}

void BM_BufferedRead(benchmark::State& State) {
  PrepareFile();
  const int32_t chunk = int32_t(State.range(0));
  std::vector<uint8_t> buf(static_cast<size_t>(chunk));
  for (auto _ : State) {
    THandle h = FileIOTable.OpenRead(BenchFile().c_str());
    int64_t total = 0;
    while (int32_t n = FileIOTable.Read(h, buf.data(), chunk)) total += n;
    FileIOTable.Close(h);
    benchmark::DoNotOptimize(total);
  }
  State.SetBytesProcessed(int64_t(State.iterations()) * FileBytes);
}
BENCHMARK(BM_BufferedRead)->Arg(4)->Arg(64)->Arg(4096)->Arg(1 << 20)->Unit(benchmark::kMillisecond);

void BM_BufferedWrite(benchmark::State& State) {
  InitIOFunctions();
  const int32_t chunk = int32_t(State.range(0));
  std::vector<uint8_t> buf(size_t(chunk), 0xA5);
  std::string name = BenchFile() + ".out";
  for (auto _ : State) {
    THandle h = FileIOTable.OpenWrite(name.c_str());
    for (int32_t done = 0; done < FileBytes; done += chunk) FileIOTable.Write(h, buf.data(), chunk);
    FileIOTable.Close(h);
  }
  std::remove(name.c_str());
  State.SetBytesProcessed(int64_t(State.iterations()) * FileBytes);
}
BENCHMARK(BM_BufferedWrite)->Arg(4)->Arg(64)->Arg(4096)->Arg(1 << 20)->Unit(benchmark::kMillisecond);

void BM_MemoryRead(benchmark::State& State) {
  InitIOFunctions();
  std::vector<uint8_t> block(size_t(FileBytes), 1);
  const int32_t chunk = int32_t(State.range(0));
  std::vector<uint8_t> buf(static_cast<size_t>(chunk));
  for (auto _ : State) {
    TMemoryIOState state;
    InitMemoryIOState(block.data(), FileBytes, state);
    while (MemoryIOTable.Read(&state, buf.data(), chunk) > 0) {
    }
  }
  State.SetBytesProcessed(int64_t(State.iterations()) * FileBytes);
}
BENCHMARK(BM_MemoryRead)->Arg(4)->Arg(4096)->Unit(benchmark::kMillisecond);

}  // namespace
