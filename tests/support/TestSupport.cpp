#include "TestSupport.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>

namespace fs = std::filesystem;

namespace TestSupport {

fs::path CorpusDir() { return fs::path(VORELLE_CORPUS_DIR); }
fs::path SourceDir() { return fs::path(VORELLE_SOURCE_DIR); }

TempDir::TempDir() {
  const char* base = std::getenv("VORELLE_TEST_TMP");
  fs::path root = base ? fs::path(base) : fs::temp_directory_path() / "vorelle-tests";
  fs::create_directories(root);
  std::string tmpl = (root / "t-XXXXXX").string();
  std::vector<char> buf(tmpl.begin(), tmpl.end());
  buf.push_back('\0');
  if (!mkdtemp(buf.data())) throw std::runtime_error("mkdtemp failed");
  FPath = buf.data();
}

TempDir::~TempDir() {
  std::error_code ec;
  fs::remove_all(FPath, ec);
}

std::vector<uint8_t> ReadFileBytes(const fs::path& Path) {
  std::ifstream in(Path, std::ios::binary);
  return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void WriteFileBytes(const fs::path& Path, const std::vector<uint8_t>& Data) {
  std::ofstream out(Path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(Data.data()), std::streamsize(Data.size()));
}

int RunCommand(const std::string& Command, std::string* Output) {
  FILE* pipe = popen(Command.c_str(), "r");
  if (!pipe) return -1;
  std::array<char, 65536> buf;
  size_t n;
  while ((n = fread(buf.data(), 1, buf.size(), pipe)) > 0)
    if (Output) Output->append(buf.data(), n);
  int status = pclose(pipe);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool HaveProgram(const std::string& Program) {
  return RunCommand("command -v '" + Program + "' >/dev/null 2>&1") == 0;
}

std::string PillowPython() { return "/usr/bin/python3"; }

bool HavePillow() { return RunCommand(PillowPython() + " -c 'import PIL' >/dev/null 2>&1") == 0; }

void InitCore() { Imaging::InitImaging(); }

Imaging::TImageData RandomImage(int32_t Width, int32_t Height, Imaging::TImageFormat Format, uint32_t Seed) {
  using namespace Imaging;
  InitCore();
  TImageData img;
  if (!CreateImage(Width, Height, Format, img)) throw std::runtime_error("CreateImage failed");
  std::mt19937 rng(Seed);
  auto* p = static_cast<uint8_t*>(img.Bits);
  for (int32_t i = 0; i < img.Size; ++i) p[i] = uint8_t(rng() >> 24);
  if (img.Palette) {
    TImageFormatInfo info;
    QueryFormatInfo(img.Format, info);
    for (int32_t i = 0; i < info.PaletteEntries; ++i) img.Palette[i].Color = rng();
  }
  return img;
}

bool PeerDecodeRGBA(const std::string& FileName, int32_t& Width, int32_t& Height, std::vector<uint8_t>& Rgba,
                    const std::string& MagickPrefix) {
  std::string dims;
  std::string quoted = "'" + MagickPrefix + FileName + "[0]'";
  if (RunCommand("identify -format '%w %h' " + quoted + " 2>/dev/null", &dims) != 0) return false;
  std::istringstream is(dims);
  if (!(is >> Width >> Height)) return false;
  std::string raw;
  if (RunCommand("convert " + quoted + " -depth 8 rgba:- 2>/dev/null", &raw) != 0) return false;
  Rgba.assign(raw.begin(), raw.end());
  return Rgba.size() == size_t(Width) * size_t(Height) * 4;
}

bool OwnDecodeRGBA(const std::string& FileName, int32_t& Width, int32_t& Height, std::vector<uint8_t>& Rgba) {
  using namespace Imaging;
  InitCore();
  TImageData img;
  if (!ReadImageFile(FileName, img)) return false;
  if (!ChangeImageFormat(img, fmtA8R8G8B8)) {
    ReleaseImage(img);
    return false;
  }
  Width = img.Width;
  Height = img.Height;
  Rgba.resize(size_t(img.Width) * img.Height * 4);
  auto* p = static_cast<const uint8_t*>(img.Bits);
  for (size_t i = 0; i < size_t(img.Width) * img.Height; ++i) {
    Rgba[i * 4 + 0] = p[i * 4 + 2];
    Rgba[i * 4 + 1] = p[i * 4 + 1];
    Rgba[i * 4 + 2] = p[i * 4 + 0];
    Rgba[i * 4 + 3] = p[i * 4 + 3];
  }
  ReleaseImage(img);
  return true;
}

}  // namespace TestSupport
