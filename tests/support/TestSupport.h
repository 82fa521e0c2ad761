// Helpers for the test programs: temporary folders, the peer corpus, peer
// tools (ImageMagick, netpbm, Pillow) and small image builders.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "Imaging.h"

namespace TestSupport {

// The peer corpus folder (read in place, never copied).
std::filesystem::path CorpusDir();
// The project's source folder.
std::filesystem::path SourceDir();
// A fresh empty folder for one test, removed when the object goes away.
class TempDir {
public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& Path() const { return FPath; }
  std::string File(const std::string& Name) const { return (FPath / Name).string(); }

private:
  std::filesystem::path FPath;
};

std::vector<uint8_t> ReadFileBytes(const std::filesystem::path& Path);
void WriteFileBytes(const std::filesystem::path& Path, const std::vector<uint8_t>& Data);

// Runs a shell command; returns its exit status and collects standard output.
int RunCommand(const std::string& Command, std::string* Output = nullptr);
// True when a program is on the PATH.
bool HaveProgram(const std::string& Program);
// Debian's Python with Pillow (the PATH may hold another Python).
std::string PillowPython();
bool HavePillow();

// Makes the imaging core ready (idempotent).
void InitCore();

// An image filled with reproducible pseudo-random bytes (every byte value
// occurs); indexed formats get a random palette.
Imaging::TImageData RandomImage(int32_t Width, int32_t Height, Imaging::TImageFormat Format, uint32_t Seed);

// Decodes a file with ImageMagick into 8-bit RGBA rows (top-down). Returns
// false when the peer fails.
bool PeerDecodeRGBA(const std::string& FileName, int32_t& Width, int32_t& Height, std::vector<uint8_t>& Rgba,
                    const std::string& MagickPrefix = "");
// Our decode of the first image of a file as 8-bit RGBA rows.
bool OwnDecodeRGBA(const std::string& FileName, int32_t& Width, int32_t& Height, std::vector<uint8_t>& Rgba);

}  // namespace TestSupport

// Skips the current test with a clear message when a peer tool is missing.
#define REQUIRE_PROGRAM(Program)                                                   \
  do {                                                                             \
    if (!TestSupport::HaveProgram(Program)) GTEST_SKIP() << "peer tool " << Program << " is not installed"; \
  } while (0)
