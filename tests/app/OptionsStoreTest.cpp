// The options store: defaults, the order of reads and writes, selection
// flags, stale values, the output folder check and wrong-typed values; and
// the output format list it is built on.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>

#include "AppTestHandlers.h"
#include "OptionsStore.h"
#include "OutputFormats.h"
#include "Settings.h"
#include "TestSupport.h"

namespace fs = std::filesystem;
using namespace Vorelle;

namespace {

// An in-memory registry that records every call.
class TRecordingRegistry : public TRegistry {
public:
  struct TValue {
    TRegDataType Type;
    std::string Text;
    int32_t Integer;
  };
  std::map<std::string, TValue> Values;
  std::vector<std::string> Calls;
  bool CanOpen = true;
  bool KeyExists = false;

  bool OpenKey(const std::string& Key, bool CanCreate) override {
    Calls.push_back("OpenKey " + Key + (CanCreate ? " create" : ""));
    if (!CanOpen) return false;
    KeyExists = KeyExists || CanCreate;
    return KeyExists;
  }
  void CloseKey() override { Calls.push_back("CloseKey"); }
  bool ValueExists(const std::string& Name) override {
    Calls.push_back("Exists " + Name);
    return Values.count(Name) != 0;
  }
  TRegDataType GetDataType(const std::string& Name) override {
    return Values.count(Name) ? Values[Name].Type : TRegDataType::rdUnknown;
  }
  std::string ReadString(const std::string& Name) override {
    Calls.push_back("ReadString " + Name);
    if (GetDataType(Name) != TRegDataType::rdString) throw ERegistryException("Invalid data type for '" + Name + "'");
    return Values[Name].Text;
  }
  int32_t ReadInteger(const std::string& Name) override {
    Calls.push_back("ReadInteger " + Name);
    if (GetDataType(Name) != TRegDataType::rdInteger) throw ERegistryException("Invalid data type for '" + Name + "'");
    return Values[Name].Integer;
  }
  void WriteString(const std::string& Name, const std::string& Value) override {
    Calls.push_back("WriteString " + Name + "=" + Value);
    Values[Name] = TValue{TRegDataType::rdString, Value, 0};
  }
  void WriteInteger(const std::string& Name, int32_t Value) override {
    Calls.push_back("WriteInteger " + Name + "=" + std::to_string(Value));
    Values[Name] = TValue{TRegDataType::rdInteger, "", Value};
  }
  void SetString(const std::string& Name, const std::string& V) { Values[Name] = {TRegDataType::rdString, V, 0}; }
  void SetInteger(const std::string& Name, int32_t V) { Values[Name] = {TRegDataType::rdInteger, "", V}; }
};

std::vector<std::string> OutputExtensions() {
  std::vector<std::string> ext;
  TImagingUtils::GetOutputFormatsExtensions(ext);
  return ext;
}

class OptionsStoreTest : public ::testing::Test {
protected:
  void SetUp() override {
    AppTest::InitTestHandlers();
    Desktop = (Dir.Path() / "Desktop").string();
    fs::create_directories(Desktop);
  }
  TestSupport::TempDir Dir;
  std::string Desktop;
};

const TFormatEntry* Entry(const TOptions& O, const std::string& Ext) {
  for (const TFormatEntry& e : O.ImgFormats())
    if (e.Ext == Ext) return &e;
  return nullptr;
}

}  // namespace

TEST(OutputFormatList, IsTheRegistryHandlersThatCanSaveInOrder) {
  AppTest::InitTestHandlers();
  std::vector<std::string> expectExt, expectNames;
  for (int32_t i = 0; i < Imaging::HandlerCount(); ++i) {
    Imaging::TImageFileFormat* h = Imaging::HandlerAtIndex(i);
    if (!h->CanSave()) continue;
    expectExt.push_back(h->Extensions()[0]);
    expectNames.push_back(h->Name() + " (" + h->Extensions()[0] + ")");
  }
  std::vector<std::string> ext{"stale"}, names{"stale", "entries"};
  TImagingUtils::GetOutputFormatsExtensions(ext);
  TImagingUtils::GetOutputFormatsNames(names);
  EXPECT_EQ(ext, expectExt);
  EXPECT_EQ(names, expectNames);
  // The test handlers come last, the read-only one is absent.
  ASSERT_GE(ext.size(), 3u);
  EXPECT_EQ(std::vector<std::string>(ext.end() - 3, ext.end()), (std::vector<std::string>{"vtr", "vtc", "vtf"}));
  EXPECT_EQ(names.back(), "Vorelle Test Failing (vtf)");
}

TEST(OutputFormatList, SystemHandlersGiveTheEighteenFormats) {
  AppTest::InitTestHandlers();
  const std::vector<std::pair<std::string, std::string>> table = {
      {"bmp", "Windows Bitmap Image"},  {"jpg", "Joint Photographic Experts Group Image"},
      {"png", "Portable Network Graphics"}, {"mng", "Multiple Network Graphics"},
      {"jng", "JPEG Network Graphics"}, {"gif", "Graphics Interchange Format"},
      {"dds", "DirectDraw Surface"},    {"tga", "Truevision Targa Image"},
      {"pgm", "Portable Gray Map"},     {"ppm", "Portable Pixel Map"},
      {"pam", "Portable Arbitrary Map"}, {"pfm", "Portable Float Map"},
      {"jp2", "JPEG 2000 Image"},       {"tif", "Tagged Image File Format"},
      {"psd", "Photoshop Image"},       {"xpm", "X Window Pixmap"},
      {"cif", "Daggerfall MultiImage"}, {"img", "Daggerfall Image"}};
  std::vector<std::string> ext, names;
  TImagingUtils::GetOutputFormatsExtensions(ext);
  TImagingUtils::GetOutputFormatsNames(names);
  ext.resize(ext.size() - 3);
  names.resize(names.size() - 3);
  // Whatever is registered so far keeps the table's relative order.
  size_t at = 0;
  for (size_t i = 0; i < ext.size(); ++i) {
    while (at < table.size() && table[at].first != ext[i]) ++at;
    ASSERT_LT(at, table.size()) << "unexpected or misplaced output format " << ext[i];
    EXPECT_EQ(names[i], table[at].second + " (" + table[at].first + ")");
  }
  if (ext.size() < table.size())
    GTEST_SKIP() << "only " << ext.size() << " of the 18 output formats are registered so far";
  EXPECT_EQ(ext.size(), 18u);
}

TEST_F(OptionsStoreTest, EmptyStoreGivesDefaultsAndReadsInOrder) {
  TRecordingRegistry reg;
  TOptions o(reg, Desktop);
  EXPECT_EQ(o.Language(), "en-US");
  EXPECT_EQ(o.AppStyle(), "Windows");
  EXPECT_EQ(o.OutputDir(), Desktop);
  EXPECT_TRUE(o.CreateLog());
  EXPECT_FALSE(o.LaunchLog());
  EXPECT_TRUE(o.ShowHints());
  EXPECT_FALSE(o.CloseAtEnd());
  EXPECT_TRUE(o.OpenOutDir());
  std::vector<std::string> ext = OutputExtensions();
  ASSERT_EQ(o.ImgFormats().size(), ext.size());
  for (size_t i = 0; i < ext.size(); ++i) {
    EXPECT_EQ(o.ImgFormats()[i].Ext, ext[i]);
    EXPECT_EQ(o.ImgFormats()[i].Flag, 1);
  }
  std::vector<std::string> expect = {"OpenKey Software\\Ostrevo\\Vorelle\\Options\\ create",
                                     "Exists Language",  "Exists ShowHints", "Exists CloseAtEnd",
                                     "Exists AppStyle",  "Exists OutputDir", "Exists CreateLog",
                                     "Exists LaunchLog", "Exists OpenOutDir"};
  for (const std::string& e : ext) expect.push_back("Exists Format." + e);
  expect.push_back("CloseKey");
  EXPECT_EQ(reg.Calls, expect);
  EXPECT_TRUE(reg.Values.empty());  // nothing written by reading
}

TEST_F(OptionsStoreTest, StoredValuesAreReadInTheirOrder) {
  TRecordingRegistry reg;
  std::string out = (Dir.Path() / "out").string();
  fs::create_directories(out);
  reg.SetString("Language", "de-DE");
  reg.SetInteger("ShowHints", 0);
  reg.SetInteger("CloseAtEnd", 7);  // any non-zero is true
  reg.SetString("AppStyle", "Carbon");
  reg.SetString("OutputDir", out);
  reg.SetInteger("CreateLog", 0);
  reg.SetInteger("LaunchLog", 1);
  reg.SetInteger("OpenOutDir", 0);
  reg.SetInteger("Format.vtr", 0);
  reg.SetInteger("Format.vtc", 2);   // not exactly 1: not selected
  reg.SetInteger("Format.xyz", 1);   // not offered: ignored
  TOptions o(reg, Desktop);
  EXPECT_EQ(o.Language(), "de-DE");
  EXPECT_FALSE(o.ShowHints());
  EXPECT_TRUE(o.CloseAtEnd());
  EXPECT_EQ(o.AppStyle(), "Carbon");
  EXPECT_EQ(o.OutputDir(), out);
  EXPECT_FALSE(o.CreateLog());
  EXPECT_TRUE(o.LaunchLog());
  EXPECT_FALSE(o.OpenOutDir());
  EXPECT_EQ(Entry(o, "vtr")->Flag, 0);
  EXPECT_EQ(Entry(o, "vtc")->Flag, 2);
  EXPECT_FALSE(Entry(o, "vtc")->Selected());
  EXPECT_TRUE(Entry(o, "vtf")->Selected());
  EXPECT_EQ(Entry(o, "xyz"), nullptr);
  std::vector<std::string> reads;
  for (const std::string& c : reg.Calls)
    if (c.rfind("Read", 0) == 0) reads.push_back(c);
  std::vector<std::string> expect = {"ReadString Language",  "ReadInteger ShowHints", "ReadInteger CloseAtEnd",
                                     "ReadString AppStyle",  "ReadString OutputDir",  "ReadInteger CreateLog",
                                     "ReadInteger LaunchLog", "ReadInteger OpenOutDir", "ReadInteger Format.vtr",
                                     "ReadInteger Format.vtc"};
  EXPECT_EQ(reads, expect);
}

TEST_F(OptionsStoreTest, OutputDirFallsBackToTheDesktop) {
  for (const char* stored : {"   ", "", "/no/such/folder/anywhere"}) {
    TRecordingRegistry reg;
    reg.SetString("OutputDir", stored);
    TOptions o(reg, Desktop);
    EXPECT_EQ(o.OutputDir(), Desktop) << "'" << stored << "'";
    EXPECT_EQ(reg.Values["OutputDir"].Text, stored);  // replaced only by a Save
  }
  // A file is not a folder either.
  std::string file = (Dir.Path() / "file").string();
  TestSupport::WriteFileBytes(file, {1});
  TRecordingRegistry reg;
  reg.SetString("OutputDir", file);
  EXPECT_EQ(TOptions(reg, Desktop).OutputDir(), Desktop);
  // An unknown Desktop folder falls back to the home folder, never to the
  // current directory.
  TRecordingRegistry empty;
  EXPECT_EQ(TOptions(empty, "").OutputDir(), std::string(getenv("HOME")));
}

TEST_F(OptionsStoreTest, KeyThatCannotBeOpenedLeavesTheDefaults) {
  TRecordingRegistry reg;
  reg.CanOpen = false;
  reg.SetString("Language", "de-DE");
  TOptions o(reg, Desktop);
  EXPECT_EQ(o.Language(), "en-US");
  EXPECT_EQ(reg.Calls, std::vector<std::string>{"OpenKey Software\\Ostrevo\\Vorelle\\Options\\ create"});
  o.Save(reg);  // writes nothing
  EXPECT_EQ(reg.Calls.size(), 2u);
  EXPECT_EQ(reg.Values.size(), 1u);
}

TEST_F(OptionsStoreTest, WrongTypedValuesAreReportedAndFallBack) {
  TRecordingRegistry reg;
  reg.SetInteger("Language", 5);
  reg.SetString("ShowHints", "no");
  reg.SetString("Format.vtr", "0");
  reg.SetInteger("CreateLog", 0);
  std::vector<std::string> reports;
  TOptions o(reg, Desktop, [&](const std::string& M) { reports.push_back(M); });
  EXPECT_EQ(o.Language(), "en-US");
  EXPECT_TRUE(o.ShowHints());
  EXPECT_EQ(Entry(o, "vtr")->Flag, 1);
  EXPECT_FALSE(o.CreateLog());  // the values after a bad one are still read
  EXPECT_EQ(reports, (std::vector<std::string>{"Invalid data type for 'Language'", "Invalid data type for 'ShowHints'",
                                               "Invalid data type for 'Format.vtr'"}));
  EXPECT_EQ(reg.Values["ShowHints"].Text, "no");  // stored value untouched
  EXPECT_EQ(reg.Calls.back(), "CloseKey");

  // Shown once per process, however often the options are read.
  std::vector<std::string> shown;
  TOptionsReport once = ReportOncePerProcess([&](const std::string& M) { shown.push_back(M); });
  TOptions again1(reg, Desktop, once);
  TOptions again2(reg, Desktop, once);
  EXPECT_EQ(shown.size(), 3u);
}

TEST_F(OptionsStoreTest, SaveWritesEveryValueInOrder) {
  TRecordingRegistry reg;
  reg.SetInteger("Format.xyz", 0);
  reg.SetInteger("MainForm.Top", 12);
  TOptions o(reg, Desktop);
  o.SetLanguage("fr-FR");
  o.SetShowHints(false);
  o.SetLaunchLog(true);
  o.ImgFormats()[0].Flag = 0;
  reg.Calls.clear();
  o.Save(reg);
  std::vector<std::string> expect = {"OpenKey Software\\Ostrevo\\Vorelle\\Options\\ create",
                                     "WriteString Language=fr-FR",
                                     "WriteString AppStyle=Windows",
                                     "WriteInteger ShowHints=0",
                                     "WriteInteger CreateLog=1",
                                     "WriteInteger LaunchLog=1",
                                     "WriteInteger CloseAtEnd=0",
                                     "WriteInteger OpenOutDir=1",
                                     "WriteString OutputDir=" + Desktop};
  for (size_t i = 0; i < o.ImgFormats().size(); ++i)
    expect.push_back("WriteInteger Format." + o.ImgFormats()[i].Ext + "=" + (i == 0 ? "0" : "1"));
  expect.push_back("CloseKey");
  EXPECT_EQ(reg.Calls, expect);
  EXPECT_EQ(reg.Values["Format.xyz"].Integer, 0);  // nothing is deleted
  EXPECT_EQ(reg.Values["MainForm.Top"].Integer, 12);
}

TEST_F(OptionsStoreTest, RoundTripThroughTheUserSettingsFile) {
  setenv("HOME", Dir.Path().c_str(), 1);
  setenv("XDG_CONFIG_HOME", (Dir.Path() / "config").c_str(), 1);
  fs::path file = Dir.Path() / "config" / "vorelle" / "settings.conf";
  {
    TOptions first = TOptions::FromUserSettings();
    // First start: the key exists, nothing else is written.
    std::vector<uint8_t> b = TestSupport::ReadFileBytes(file);
    std::string text(b.begin(), b.end());
    EXPECT_EQ(text.substr(text.find("\n[") + 1), "[Software\\Ostrevo\\Vorelle\\Options]\n");
    // Desktop of a user without user-dirs settings.
    EXPECT_EQ(first.OutputDir(), (Dir.Path() / "Desktop").string());
    first.SetOutputDir(Dir.Path().string());
    first.SetCloseAtEnd(true);
    for (TFormatEntry& e : first.ImgFormats())
      if (e.Ext == "vtc") e.Flag = 0;
    first.SaveToUserSettings();
  }
  TOptions second = TOptions::FromUserSettings();
  EXPECT_EQ(second.OutputDir(), Dir.Path().string());
  EXPECT_TRUE(second.CloseAtEnd());
  EXPECT_EQ(Entry(second, "vtc")->Flag, 0);
  EXPECT_EQ(Entry(second, "vtr")->Flag, 1);
  std::vector<uint8_t> b = TestSupport::ReadFileBytes(file);
  std::string text(b.begin(), b.end());
  EXPECT_NE(text.find("\nLanguage=str:en-US\nAppStyle=str:Windows\nShowHints=int:1\nCreateLog=int:1\n"
                      "LaunchLog=int:0\nCloseAtEnd=int:1\nOpenOutDir=int:1\nOutputDir=str:" +
                      Dir.Path().string() + "\n"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("Format.vtc=int:0\nFormat.vtf=int:1\n"), std::string::npos) << text;
}

TEST_F(OptionsStoreTest, DamagedUserSettingsAreReportedThroughTheOptions) {
  setenv("HOME", Dir.Path().c_str(), 1);
  setenv("XDG_CONFIG_HOME", (Dir.Path() / "config").c_str(), 1);
  fs::path file = Dir.Path() / "config" / "vorelle" / "settings.conf";
  fs::create_directories(file.parent_path());
  TestSupport::WriteFileBytes(file, {'[', 'x', '\n'});
  std::vector<std::string> reports;
  TOptions o = TOptions::FromUserSettings([&](const std::string& M) { reports.push_back(M); });
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_NE(reports[0].find("is damaged (line 1: unclosed key name). It was kept as"), std::string::npos);
  EXPECT_EQ(o.Language(), "en-US");
}

// A stored output folder that is missing right now (an unmounted drive): the
// run writes to the Desktop and says so, and a Save keeps the stored folder
// unless another one was chosen.
TEST_F(OptionsStoreTest, MissingOutputDirIsKeptAndAnnounced) {
  TRecordingRegistry reg;
  reg.SetString("OutputDir", "/media/usb/pictures");
  std::vector<std::string> reports;
  TOptions o(reg, Desktop, [&](const std::string& m) { reports.push_back(m); });
  EXPECT_EQ(o.OutputDir(), Desktop);
  const std::string notice = "The output folder \"/media/usb/pictures\" does not exist now; the files are written to \"" +
                             Desktop + "\" instead.";
  EXPECT_EQ(o.OutputDirNotice(), notice);
  EXPECT_EQ(reports, std::vector<std::string>{notice});
  o.Save(reg);
  EXPECT_EQ(reg.Values["OutputDir"].Text, "/media/usb/pictures");
  o.SetOutputDir(Desktop);
  EXPECT_EQ(o.OutputDirNotice(), "");
  o.Save(reg);
  EXPECT_EQ(reg.Values["OutputDir"].Text, Desktop);
  // Blanks are no folder to keep.
  TRecordingRegistry blank;
  blank.SetString("OutputDir", "  ");
  TOptions b(blank, Desktop);
  EXPECT_EQ(b.OutputDirNotice(), "");
  // A missing Desktop stored as the folder: writing "instead" to the same
  // folder is no news.
  TRecordingRegistry desktop;
  desktop.SetString("OutputDir", Desktop);
  fs::remove_all(Desktop);
  reports.clear();
  TOptions d(desktop, Desktop, [&](const std::string& m) { reports.push_back(m); });
  EXPECT_EQ(d.OutputDir(), Desktop);
  EXPECT_EQ(d.OutputDirNotice(), "");
  EXPECT_TRUE(reports.empty());
}
