// The conversion job over real files through a test host: the output tree,
// the run log byte for byte, the host calls, cancel and the end-of-run
// actions.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <map>

#include "AppTestHandlers.h"
#include "ConversionJob.h"
#include "OutputFormats.h"
#include "TestSupport.h"

namespace fs = std::filesystem;
using namespace Vorelle;

namespace {

std::string ReadText(const fs::path& Path) {
  std::vector<uint8_t> b = TestSupport::ReadFileBytes(Path);
  return std::string(b.begin(), b.end());
}

void WriteBytes(const fs::path& Path, const std::vector<uint8_t>& Bytes) {
  fs::create_directories(Path.parent_path());
  TestSupport::WriteFileBytes(Path, Bytes);
}

// Every entry below Folder, relative, sorted; folders end with "/".
std::vector<std::string> Tree(const fs::path& Folder) {
  std::vector<std::string> names;
  if (!fs::exists(Folder)) return names;
  for (const auto& e : fs::recursive_directory_iterator(Folder))
    names.push_back(fs::relative(e.path(), Folder).string() + (e.is_directory() ? "/" : ""));
  std::sort(names.begin(), names.end());
  return names;
}

std::string Log(std::initializer_list<std::string> Lines) {
  std::string text;
  for (const std::string& l : Lines) text += l + "\r\n";
  return text;
}

const std::string Rule = "======================";  // as long as "Vorelle Last Usage Log"

class TTestHost : public IConversionHost {
public:
  TConversionJob* Job = nullptr;
  std::function<void(TOptions&)> Configure;
  std::string OutputDir;
  std::string SettingsFile;  // empty settings of the test's own
  std::vector<std::string> Events;
  int32_t Pumps = 0;
  std::map<TProgressBar, int32_t> Max, Pos;
  // Called at every pump (the place where a Cancel press reaches the job).
  std::function<void(TTestHost&)> OnPump;

  std::unique_ptr<TOptions> CreateRunOptions() override {
    Events.push_back("CreateRunOptions");
    TSettingsFile settings(SettingsFile);
    auto o = std::make_unique<TOptions>(settings, OutputDir);
    // Only the test formats, unless a test says otherwise.
    for (TFormatEntry& e : o->ImgFormats()) e.Flag = (e.Ext == "vtr" || e.Ext == "vtc") ? 1 : 0;
    if (Configure) Configure(*o);
    return o;
  }
  void SetCursor(TCursorShape C) override {
    Events.push_back(C == TCursorShape::crHourGlass ? "Cursor HourGlass" : "Cursor Default");
  }
  void AcceptDrops(bool A) override { Events.push_back(A ? "AcceptDrops on" : "AcceptDrops off"); }
  void BringToFront() override { Events.push_back("BringToFront"); }
  void ShowRunning(bool R) override { Events.push_back(R ? "Running" : "Idle"); }
  void SetProgressMax(TProgressBar B, int32_t M) override { Max[B] = M; }
  void SetProgressStep(TProgressBar, int32_t S) override { EXPECT_EQ(S, 1); }
  void StepProgress(TProgressBar B) override { ++Pos[B]; }
  void SetProgressPosition(TProgressBar B, int32_t P) override { Pos[B] = P; }
  void ProcessMessages() override {
    ++Pumps;
    if (OnPump) OnPump(*this);
  }
  void ShellOpen(const std::string& Path) override { Events.push_back("ShellOpen " + Path); }
  void Inform(const std::string& Text) override { Events.push_back("Inform " + Text); }
  void CloseWindow() override {
    Events.push_back(std::string("CloseWindow running=") + (Job->ConversionRunning() ? "1" : "0"));
  }
  std::vector<std::string> EventsLike(const std::string& Prefix) const {
    std::vector<std::string> r;
    for (const std::string& e : Events)
      if (e.rfind(Prefix, 0) == 0) r.push_back(e);
    return r;
  }
};

class ConversionJobTest : public ::testing::Test {
protected:
  void SetUp() override {
    AppTest::InitTestHandlers();
    Host.OutputDir = (Dir.Path() / "out").string();
    Host.SettingsFile = (Dir.Path() / "config" / "settings.conf").string();
    fs::create_directories(Host.OutputDir);
    Host.Job = &Job;
    Root = Dir.Path() / "out" / "Converted Images";
  }
  std::string Input(const std::string& Name, const char* Magic = "VTR1", uint32_t Seed = 1, int32_t W = 3,
                    int32_t H = 2) {
    fs::path p = Dir.Path() / "in" / Name;
    WriteBytes(p, AppTest::TestFileBytes(Magic, W, H, Seed));
    return p.string();
  }
  std::string LogText() { return ReadText(Root / "Vorelle.log"); }

  TestSupport::TempDir Dir;
  TTestHost Host;
  TLiteralTranslator Translator;
  TConversionJob Job{Host, Translator};
  fs::path Root;
};

// The pixels of a test file (after its 12-byte header).
std::vector<uint8_t> Pixels(const std::vector<uint8_t>& File) {
  return File.size() < 12 ? File : std::vector<uint8_t>(File.begin() + 12, File.end());
}

}  // namespace

TEST_F(ConversionJobTest, TwoFileExampleOfTheLog) {
  std::string cat = Input("cat.vtc", "VTC1", 7);
  std::string notes = (Dir.Path() / "in" / "notes.txt").string();
  WriteBytes(notes, {'h', 'i'});
  Host.Configure = [](TOptions& o) {
    for (TFormatEntry& e : o.ImgFormats()) e.Flag = (e.Ext == "vtr" || e.Ext == "vtf") ? 1 : 0;
  };
  Job.ConvertFiles({cat, notes});
  std::string failed = (Root / "cat.vtc" / "cat.vtf").string();
  EXPECT_EQ(LogText(),
            Log({Rule, "Vorelle Last Usage Log", Rule, "", "Processing image file: \"cat.vtc\"",
                 "Converting \"cat.vtc\" to \"cat.vtr\"", "Converting \"cat.vtc\" to \"cat.vtf\"",
                 "Exception with message: \"Error while saving images to file \"" + failed +
                     "\" (file format: vtf). Exception Message: Test handler refuses to write the pixels.\"",
                 "", "Image file: \"" + notes + "\" not supported.", "", "End of task. \"1\" image files converted."}));
  // The failed output left nothing behind, not even a temporary file.
  EXPECT_EQ(Tree(Root), (std::vector<std::string>{"Vorelle.log", "cat.vtc/", "cat.vtc/cat.vtr"}));
  std::vector<uint8_t> out = TestSupport::ReadFileBytes(Root / "cat.vtc" / "cat.vtr");
  std::vector<uint8_t> in = TestSupport::ReadFileBytes(cat);
  EXPECT_EQ(std::string(out.begin(), out.begin() + 4), "VTR1");
  EXPECT_EQ(Pixels(out), Pixels(in));
  EXPECT_EQ(Job.ConvertedImages(), 1);
  const TConversionSummary& s = Job.Summary();
  EXPECT_EQ(s.OutputsAttempted, 2);
  EXPECT_EQ(s.OutputsWritten, 1);
  EXPECT_EQ(s.Exceptions, 1);
  EXPECT_EQ(s.UnsupportedFiles, 1);
  EXPECT_FALSE(s.Complete());
  EXPECT_EQ(s.OutputRoot, Root.string() + "/");
  // The host saw the run start and end in order; the folder was opened.
  EXPECT_EQ(Host.Events, (std::vector<std::string>{"Cursor HourGlass", "CreateRunOptions", "AcceptDrops off",
                                                   "BringToFront", "Running", "ShellOpen " + Root.string() + "/",
                                                   "Cursor Default", "Idle", "AcceptDrops on"}));
  EXPECT_EQ(Host.Max[TProgressBar::pbImages], 2);
  std::vector<std::string> ext;
  TImagingUtils::GetOutputFormatsExtensions(ext);
  EXPECT_EQ(Host.Max[TProgressBar::pbFormats], int32_t(ext.size()));
  // One pump after the root, one per file, one per format entry.
  EXPECT_EQ(Host.Pumps, 1 + 2 + int32_t(ext.size()));
  EXPECT_EQ(Host.Pos[TProgressBar::pbImages], 0);
  EXPECT_EQ(Host.Pos[TProgressBar::pbFormats], 0);
  EXPECT_FALSE(Job.ConversionRunning());
}

TEST_F(ConversionJobTest, FoldersOnlyGiveAnEmptyRun) {
  Job.ConvertFiles({});
  EXPECT_EQ(LogText(), Log({Rule, "Vorelle Last Usage Log", Rule, "", "End of task. \"0\" image files converted."}));
  EXPECT_EQ(Tree(Root), std::vector<std::string>{"Vorelle.log"});
  EXPECT_EQ(Host.EventsLike("ShellOpen"), std::vector<std::string>{"ShellOpen " + Root.string() + "/"});
  EXPECT_TRUE(Job.Summary().Complete());
}

TEST_F(ConversionJobTest, NoSelectedFormatCountsEveryFileAndCreatesNoFolder) {
  std::string a = Input("a.vtr"), b = Input("b.vtc", "VTC1");
  Host.Configure = [](TOptions& o) {
    for (TFormatEntry& e : o.ImgFormats()) e.Flag = 0;
  };
  Job.ConvertFiles({a, b});
  EXPECT_EQ(LogText(), Log({Rule, "Vorelle Last Usage Log", Rule, "", "Processing image file: \"a.vtr\"", "",
                            "Processing image file: \"b.vtc\"", "", "End of task. \"2\" image files converted."}));
  EXPECT_EQ(Tree(Root), std::vector<std::string>{"Vorelle.log"});
}

// Inputs of one name from different folders get folders of their own in one
// run ("x.vtr", "x.vtr (2)", ...); nothing of the run is overwritten. A later
// run reuses the folders.
TEST_F(ConversionJobTest, SameNameFromTwoFoldersGetFoldersOfTheirOwn) {
  fs::path one = Dir.Path() / "one" / "x.vtr", two = Dir.Path() / "two" / "x.vtr", three = Dir.Path() / "3" / "x.vtr";
  WriteBytes(one, AppTest::TestFileBytes("VTR1", 2, 2, 1));
  WriteBytes(two, AppTest::TestFileBytes("VTR1", 4, 1, 2));
  WriteBytes(three, AppTest::TestFileBytes("VTR1", 1, 1, 3));
  Job.ConvertFiles({one.string(), two.string(), three.string()});
  EXPECT_EQ(Tree(Root), (std::vector<std::string>{"Vorelle.log", "x.vtr (2)/", "x.vtr (2)/x.vtc", "x.vtr (2)/x.vtr",
                                                  "x.vtr (3)/", "x.vtr (3)/x.vtc", "x.vtr (3)/x.vtr", "x.vtr/",
                                                  "x.vtr/x.vtc", "x.vtr/x.vtr"}));
  EXPECT_EQ(Pixels(TestSupport::ReadFileBytes(Root / "x.vtr" / "x.vtc")), Pixels(TestSupport::ReadFileBytes(one)));
  EXPECT_EQ(Pixels(TestSupport::ReadFileBytes(Root / "x.vtr (2)" / "x.vtr")), Pixels(TestSupport::ReadFileBytes(two)));
  EXPECT_EQ(Pixels(TestSupport::ReadFileBytes(Root / "x.vtr (3)" / "x.vtr")), Pixels(TestSupport::ReadFileBytes(three)));
  EXPECT_EQ(Job.ConvertedImages(), 3);
  EXPECT_EQ(Job.Summary().OutputsWritten, 6);
  std::string log = LogText();
  EXPECT_NE(log.find("Processing image file: \"x.vtr\"\r\nConverting \"x.vtr\" to \"x.vtr\"\r\n"), std::string::npos);
  EXPECT_NE(log.find("Processing image file: \"x.vtr (2)\"\r\nConverting \"x.vtr\" to \"x.vtr\"\r\n"),
            std::string::npos);
  EXPECT_NE(log.find("Processing image file: \"x.vtr (3)\"\r\n"), std::string::npos);
  // The next run starts from the first folder again.
  Job.ConvertFiles({two.string()});
  EXPECT_EQ(Pixels(TestSupport::ReadFileBytes(Root / "x.vtr" / "x.vtc")), Pixels(TestSupport::ReadFileBytes(two)));
}

TEST_F(ConversionJobTest, SeveralDotsReplaceOnlyTheLastExtension) {
  std::string in = Input("a.b.vtr");
  std::string plain = (Dir.Path() / "in" / "noext").string();
  Job.ConvertFiles({in, plain});
  EXPECT_EQ(Tree(Root), (std::vector<std::string>{"Vorelle.log", "a.b.vtr/", "a.b.vtr/a.b.vtc", "a.b.vtr/a.b.vtr"}));
  EXPECT_EQ(ChangeFileExtension("cat.jpeg", "png"), "cat.png");
  EXPECT_EQ(ChangeFileExtension("noext", "png"), "noext.png");
  EXPECT_EQ(ChangeFileExtension("a.b.jpg", "png"), "a.b.png");
}

TEST_F(ConversionJobTest, UnsupportedNamesAreLoggedWithTheirFullPath) {
  std::string readme = (Dir.Path() / "in" / "README").string();
  std::string wrongExt = (Dir.Path() / "in" / "image.vtr.txt").string();
  WriteBytes(readme, {'x'});
  WriteBytes(wrongExt, AppTest::TestFileBytes("VTR1", 1, 1, 1));
  Job.ConvertFiles({readme, wrongExt});
  EXPECT_EQ(LogText(), Log({Rule, "Vorelle Last Usage Log", Rule, "", "Image file: \"" + readme + "\" not supported.",
                            "", "Image file: \"" + wrongExt + "\" not supported.", "",
                            "End of task. \"0\" image files converted."}));
  EXPECT_EQ(Tree(Root), std::vector<std::string>{"Vorelle.log"});
}

TEST_F(ConversionJobTest, DamagedFileIsLoggedOncePerFormat) {
  std::vector<uint8_t> bytes = AppTest::TestFileBytes("VTR1", 8, 8, 3);
  bytes.resize(40);  // pixels cut off
  fs::path bad = Dir.Path() / "in" / "bad.vtr";
  WriteBytes(bad, bytes);
  Job.ConvertFiles({bad.string()});
  std::string line = "Exception with message: \"Error while loading images from file \"" + bad.string() +
                     "\" (file format: vtr). Exception Message: Test pixel data is cut off.\"";
  EXPECT_EQ(LogText(), Log({Rule, "Vorelle Last Usage Log", Rule, "", "Processing image file: \"bad.vtr\"",
                            "Converting \"bad.vtr\" to \"bad.vtr\"", line, "Converting \"bad.vtr\" to \"bad.vtc\"",
                            line, "", "End of task. \"1\" image files converted."}));
  // The folder exists and stays empty.
  EXPECT_EQ(Tree(Root), (std::vector<std::string>{"Vorelle.log", "bad.vtr/"}));
  EXPECT_EQ(Job.Summary().Exceptions, 2);
}

TEST_F(ConversionJobTest, AcceptedNameWithUnknownContentIsLoggedWithTheReason) {
  fs::path odd = Dir.Path() / "in" / "odd.vtr";
  WriteBytes(odd, {'n', 'o', 't', ' ', 'a', 'n', ' ', 'i', 'm', 'a', 'g', 'e', ' ', 'a', 't', ' ', 'a', 'l', 'l'});
  Job.ConvertFiles({odd.string()});
  std::string line = "Exception with message: \"The content of \"" + odd.string() +
                     "\" is not an image in any known format.\"";
  EXPECT_EQ(LogText(), Log({Rule, "Vorelle Last Usage Log", Rule, "", "Processing image file: \"odd.vtr\"",
                            "Converting \"odd.vtr\" to \"odd.vtr\"", line, "Converting \"odd.vtr\" to \"odd.vtc\"", line,
                            "", "End of task. \"1\" image files converted."}));
  EXPECT_EQ(Tree(Root), (std::vector<std::string>{"Vorelle.log", "odd.vtr/"}));
  EXPECT_EQ(Job.Summary().OutputsWritten, 0);
  EXPECT_FALSE(Job.Summary().Complete());
}

TEST_F(ConversionJobTest, CancelDuringTheLastFormatOfTheLastFile) {
  std::string a = Input("a.vtr"), b = Input("b.vtr");
  std::vector<std::string> ext;
  TImagingUtils::GetOutputFormatsExtensions(ext);
  Host.Configure = [](TOptions& o) {
    o.SetCloseAtEnd(true);
    o.SetLaunchLog(true);
    for (TFormatEntry& e : o.ImgFormats()) e.Flag = e.Ext == "vtf" ? 0 : e.Flag;
    o.ImgFormats().back().Flag = 1;  // the last entry (vtf) is the format at hand
  };
  // Cancel is pressed while the last format of the last file is written: it
  // reaches the job at the pump after it.
  Host.OnPump = [&](TTestHost& H) {
    if (H.Pos[TProgressBar::pbImages] == 2 && H.Pos[TProgressBar::pbFormats] == int32_t(ext.size()) &&
        !Job.CancelConversion())
      Job.CancelButtonClick();  // pumps once more itself
  };
  Job.ConvertFiles({a, b});
  EXPECT_EQ(Job.ConvertedImages(), 2);
  EXPECT_TRUE(Job.Summary().Cancelled);
  std::string log = LogText();
  const std::string tail = "\r\n\r\nEnd of task. \"2\" image files converted.\r\n";
  ASSERT_GT(log.size(), tail.size());
  EXPECT_EQ(log.substr(log.size() - tail.size()), tail);
  EXPECT_TRUE(Host.EventsLike("ShellOpen").empty());
  EXPECT_TRUE(Host.EventsLike("CloseWindow").empty());
  EXPECT_EQ(Host.EventsLike("Inform"), std::vector<std::string>{"Inform Operation cancelled"});
  EXPECT_FALSE(Job.CancelConversion());  // cleared at the end
}

TEST_F(ConversionJobTest, CancelBeforeTheSecondFileStopsTheFileLoop) {
  std::string a = Input("a.vtr"), b = Input("b.vtr");
  Host.OnPump = [&](TTestHost& H) {
    if (H.Pos[TProgressBar::pbImages] == 1 && H.Pos[TProgressBar::pbFormats] == 1) Job.RequestCancel();
  };
  Job.ConvertFiles({a, b});
  // The format loop stops at its next poll; the file still counts.
  EXPECT_EQ(LogText(), Log({Rule, "Vorelle Last Usage Log", Rule, "", "Processing image file: \"a.vtr\"", "",
                            "The run was cancelled.", "",
                            "End of task. \"1\" image files converted."}));
  EXPECT_EQ(Host.EventsLike("Inform"), std::vector<std::string>{"Inform Operation cancelled"});
}

TEST_F(ConversionJobTest, CloseAtEndAndLaunchLogAfterACompleteRun) {
  std::string a = Input("a.vtr");
  Host.Configure = [](TOptions& o) {
    o.SetCloseAtEnd(true);
    o.SetLaunchLog(true);
  };
  Job.ConvertFiles({a});
  EXPECT_EQ(Host.EventsLike("ShellOpen"),
            (std::vector<std::string>{"ShellOpen " + Root.string() + "/", "ShellOpen " + Root.string() + "/Vorelle.log"}));
  EXPECT_EQ(Host.EventsLike("CloseWindow"), std::vector<std::string>{"CloseWindow running=0"});
  EXPECT_TRUE(Host.EventsLike("Inform").empty());
  EXPECT_TRUE(Job.Summary().Complete());
}

TEST_F(ConversionJobTest, NoLogMeansNoFileAndNoLaunch) {
  std::string a = Input("a.vtr");
  Host.Configure = [](TOptions& o) {
    o.SetCreateLog(false);
    o.SetLaunchLog(true);
    o.SetOpenOutDir(false);
  };
  Job.ConvertFiles({a});
  EXPECT_EQ(Tree(Root), (std::vector<std::string>{"a.vtr/", "a.vtr/a.vtc", "a.vtr/a.vtr"}));
  EXPECT_TRUE(Host.EventsLike("ShellOpen").empty());
  EXPECT_EQ(Job.Log().back(), "End of task. \"1\" image files converted.");
}

TEST_F(ConversionJobTest, AnInputIsNeverOverwritten) {
  // Converting an earlier output again: its own output path is the input.
  fs::path earlier = Root / "p.vtr" / "p.vtr";
  WriteBytes(earlier, AppTest::TestFileBytes("VTR1", 2, 2, 5));
  std::vector<uint8_t> before = TestSupport::ReadFileBytes(earlier);
  Job.ConvertFiles({earlier.string()});
  EXPECT_EQ(TestSupport::ReadFileBytes(earlier), before);
  EXPECT_EQ(LogText(), Log({Rule, "Vorelle Last Usage Log", Rule, "", "Processing image file: \"p.vtr\"",
                            "Converting \"p.vtr\" to \"p.vtr\"",
                            "Exception with message: \"The output file \"" + earlier.string() +
                                "\" is an input file of this run; it is not overwritten.\"",
                            "Converting \"p.vtr\" to \"p.vtc\"", "", "End of task. \"1\" image files converted."}));
  EXPECT_TRUE(fs::exists(Root / "p.vtr" / "p.vtc"));
}

TEST_F(ConversionJobTest, FailedWriteKeepsTheEarlierOutput) {
  std::string a = Input("a.vtr");
  fs::path old = Root / "a.vtr" / "a.vtf";
  WriteBytes(old, {'o', 'l', 'd'});
  Host.Configure = [](TOptions& o) {
    for (TFormatEntry& e : o.ImgFormats()) e.Flag = e.Ext == "vtf" ? 1 : 0;
  };
  Job.ConvertFiles({a});
  EXPECT_EQ(ReadText(old), "old");
  EXPECT_EQ(Tree(Root), (std::vector<std::string>{"Vorelle.log", "a.vtr/", "a.vtr/a.vtf"}));
}

TEST_F(ConversionJobTest, UnwritableOutputFolderIsLoggedPerFormat) {
  std::string a = Input("a.vtr");
  // A file where the per-file folder should be.
  WriteBytes(Root / "a.vtr", {'x'});
  Job.ConvertFiles({a});
  std::string log = LogText();
  std::string target = (Root / "a.vtr" / "a.vtr").string();
  EXPECT_NE(log.find("Converting \"a.vtr\" to \"a.vtr\"\r\nException with message: \"Error while saving images to file \"" +
                     target + "\" (file format: vtr). Exception Message: "),
            std::string::npos)
      << log;
  EXPECT_EQ(log.find(".part"), std::string::npos) << log;  // the temporary name is never shown
  EXPECT_EQ(Job.Summary().Exceptions, 2);
}

TEST_F(ConversionJobTest, LogThatCannotBeWrittenEndsTheRunAndRestoresTheHost) {
  std::string a = Input("a.vtr");
  fs::create_directories(Root / "Vorelle.log" / "in-the-way");
  EXPECT_THROW(Job.ConvertFiles({a}), std::runtime_error);
  EXPECT_FALSE(Job.ConversionRunning());
  std::vector<std::string> tail(Host.Events.end() - 3, Host.Events.end());
  EXPECT_EQ(tail, (std::vector<std::string>{"Cursor Default", "Idle", "AcceptDrops on"}));
  // The run can be started again.
  fs::remove_all(Root / "Vorelle.log");
  Job.ConvertFiles({a});
  EXPECT_TRUE(fs::is_regular_file(Root / "Vorelle.log"));
}

namespace {

class TGermanTranslator : public ITextTranslator {
public:
  std::map<std::string, std::string> Texts;
  std::string GetText(const std::string& Text) const override {
    auto it = Texts.find(Text);
    return it == Texts.end() ? Text : it->second;
  }
};

}  // namespace

TEST_F(ConversionJobTest, TranslatedTextsAndUnsafeTranslations) {
  TGermanTranslator german;
  german.Texts = {{"Converted Images", "Konvertierte Bilder"},
                  {"Vorelle.log", "Protokoll.log"},
                  {"Vorelle Last Usage Log", "Vorelle-Protokoll \xC3\xBC\xF0\x9F\x98\x80"},  // ü and an emoji
                  {"Processing image file: \"%s\"", "Bilddatei: \"%s\""},
                  {"Converting \"%s\" to \"%s\"", "Umwandlung %d nach %s"},  // other placeholders: not used
                  {"End of task. \"%d\" image files converted.", "Fertig: %d Bilder."}};
  TConversionJob job(Host, german);
  Host.Job = &job;
  std::string a = Input("a.vtr");
  job.ConvertFiles({a});
  fs::path root = Dir.Path() / "out" / "Konvertierte Bilder";
  std::string rule(21, '=');  // 18 + 1 + 2 UTF-16 code units
  EXPECT_EQ(ReadText(root / "Protokoll.log"),
            Log({rule, "Vorelle-Protokoll \xC3\xBC\xF0\x9F\x98\x80", rule, "", "Bilddatei: \"a.vtr\"",
                 "Converting \"a.vtr\" to \"a.vtr\"", "Converting \"a.vtr\" to \"a.vtc\"", "", "Fertig: 1 Bilder."}));

  for (const char* bad : {"../escape", "a/b", "..", ".", "", "x\\y", "bad\nname"}) {
    TGermanTranslator evil;
    evil.Texts = {{"Converted Images", bad}, {"Vorelle.log", bad}};
    EXPECT_EQ(TranslateFileName(evil, "Converted Images"), "Converted Images") << bad;
  }
  TGermanTranslator evil;
  evil.Texts = {{"Converted Images", "../escape"}, {"Vorelle.log", "../../x.log"}};
  TConversionJob job2(Host, evil);
  Host.Job = &job2;
  job2.ConvertFiles({a});
  EXPECT_TRUE(fs::exists(Root / "Vorelle.log"));
  EXPECT_FALSE(fs::exists(Dir.Path() / "escape"));
}

TEST(TranslatorHelpers, PlaceholdersAndLengths) {
  EXPECT_EQ(PatternPlaceholders("a %s b %d c %% d %.0n"), (std::vector<std::string>{"%s", "%d", "%.0n"}));
  EXPECT_EQ(PatternPlaceholders("100%"), std::vector<std::string>{"%"});
  EXPECT_EQ(Utf16Length("abc"), 3u);
  EXPECT_EQ(Utf16Length("\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"), 4u);  // é € 😀
  EXPECT_EQ(Utf16Length("\xFF\xC3"), 2u);                            // invalid bytes count one each
}

TEST_F(ConversionJobTest, SystemHandlersConvertARealImage) {
  // Every output format the system registered so far, from a BMP we write.
  Imaging::TImageFileFormat* bmp = Imaging::FindHandlerByExtension("bmp");
  if (!bmp || !bmp->CanSave()) GTEST_SKIP() << "the Windows Bitmap handler is not registered yet";
  ApplyStartupImagingOptions();
  // Large enough that every output spans several blocks of the file
  // buffer, so writers that go back to fill in a header read it again.
  Imaging::TImageData image = TestSupport::RandomImage(151, 97, Imaging::fmtR8G8B8, 11);
  fs::path in = Dir.Path() / "in" / "photo.bmp";
  fs::create_directories(in.parent_path());
  ASSERT_TRUE(Imaging::WriteImageFile(in.string(), image));
  Imaging::ReleaseImage(image);
  std::vector<std::string> system;
  for (int32_t i = 0; i < Imaging::HandlerCount(); ++i) {
    Imaging::TImageFileFormat* h = Imaging::HandlerAtIndex(i);
    if (h->CanSave() && h->Name().rfind("Vorelle Test", 0) != 0) system.push_back(h->Extensions()[0]);
  }
  Host.Configure = [&](TOptions& o) {
    for (TFormatEntry& e : o.ImgFormats())
      e.Flag = std::find(system.begin(), system.end(), e.Ext) != system.end() ? 1 : 0;
  };
  Job.ConvertFiles({in.string()});
  std::string log = LogText();
  EXPECT_EQ(log.find("Exception"), std::string::npos) << log;
  int32_t w0, h0, w, h;
  std::vector<uint8_t> want, got;
  ASSERT_TRUE(TestSupport::OwnDecodeRGBA(in.string(), w0, h0, want));
  for (const std::string& ext : system) {
    fs::path out = Root / "photo.bmp" / ("photo." + ext);
    ASSERT_TRUE(fs::exists(out)) << ext;
    // Lossless formats with full colour give the pixels back.
    if (ext == "bmp" || ext == "tga" || ext == "ppm" || ext == "png" || ext == "pam" || ext == "tif" ||
        ext == "dds" || ext == "psd" || ext == "xpm") {
      ASSERT_TRUE(TestSupport::OwnDecodeRGBA(out.string(), w, h, got)) << ext;
      EXPECT_EQ(w, w0);
      EXPECT_EQ(h, h0);
      EXPECT_TRUE(got == want) << ext;
    }
  }
}

TEST_F(ConversionJobTest, OutputsOfARealImageMatchThePeerDecoder) {
  Imaging::TImageFileFormat* bmp = Imaging::FindHandlerByExtension("bmp");
  if (!bmp || !bmp->CanSave()) GTEST_SKIP() << "the Windows Bitmap handler is not registered yet";
  REQUIRE_PROGRAM("convert");
  ApplyStartupImagingOptions();
  Imaging::TImageData image = TestSupport::RandomImage(29, 13, Imaging::fmtR8G8B8, 5);
  fs::path in = Dir.Path() / "in" / "peer.bmp";
  fs::create_directories(in.parent_path());
  ASSERT_TRUE(Imaging::WriteImageFile(in.string(), image));
  Imaging::ReleaseImage(image);
  const std::vector<std::string> lossless = {"bmp", "png", "tga", "ppm", "pam", "tif"};
  Host.Configure = [&](TOptions& o) {
    for (TFormatEntry& e : o.ImgFormats())
      e.Flag = std::find(lossless.begin(), lossless.end(), e.Ext) != lossless.end() ? 1 : 0;
  };
  Job.ConvertFiles({in.string()});
  int32_t w0, h0, w, h;
  std::vector<uint8_t> want, got;
  ASSERT_TRUE(TestSupport::PeerDecodeRGBA(in.string(), w0, h0, want));
  int checked = 0;
  for (const std::string& ext : lossless) {
    fs::path out = Root / "peer.bmp" / ("peer." + ext);
    if (!Imaging::FindHandlerByExtension(ext)) continue;
    ASSERT_TRUE(TestSupport::PeerDecodeRGBA(out.string(), w, h, got)) << ext;
    EXPECT_EQ(w, w0);
    EXPECT_EQ(h, h0);
    EXPECT_TRUE(got == want) << ext;
    ++checked;
  }
  EXPECT_GE(checked, 1);
}

TEST_F(ConversionJobTest, MultiImageInputGivesOneImagePerOutput) {
  Imaging::TImageFileFormat* gif = Imaging::FindHandlerByExtension("gif");
  if (!gif || !gif->CanSave() || !gif->CanLoad()) GTEST_SKIP() << "the GIF handler is not registered yet";
  REQUIRE_PROGRAM("identify");
  fs::path in = TestSupport::CorpusDir() / "pillow" / "gif" / "dispose_none.gif";  // 5 frames
  ASSERT_TRUE(fs::exists(in));
  Host.Configure = [&](TOptions& o) {
    for (TFormatEntry& e : o.ImgFormats()) e.Flag = e.Ext == "gif" ? 1 : 0;
  };
  Job.ConvertFiles({in.string()});
  fs::path out = Root / "dispose_none.gif" / "dispose_none.gif";
  ASSERT_TRUE(fs::exists(out)) << LogText();
  std::string frames;
  ASSERT_EQ(TestSupport::RunCommand("identify '" + out.string() + "' | wc -l", &frames), 0);
  EXPECT_EQ(std::stoi(frames), 1);
  Imaging::TDynImageDataArray images;
  ASSERT_TRUE(Imaging::ReadImagesFromFile(out.string(), images));
  EXPECT_EQ(images.size(), 1u);
  Imaging::ReleaseImageArray(images);
}

// ---------------------------------------------------------------------------
// Hostile and unlucky inputs and output folders
// ---------------------------------------------------------------------------

namespace {

bool RunningAsRoot() { return ::geteuid() == 0; }

// Runs a shell command as the user nobody (the test runs as root).
int RunAsNobody(const std::string& Command) {
  return TestSupport::RunCommand("setpriv --reuid=nobody --regid=nogroup --clear-groups sh -c '" + Command +
                                 "' 2>&1");
}

std::string ExceptionLine(const std::string& Message) { return "Exception with message: \"" + Message + "\""; }

}  // namespace

// Every output that is not written says why: the input is not a regular file
// (a FIFO is never opened for reading, which would block), is empty, or
// names an output that no handler can write.
TEST_F(ConversionJobTest, EveryOutputNotWrittenHasAReason) {
  fs::path fifo = Dir.Path() / "in" / "pipe.vtr";
  fs::create_directories(fifo.parent_path());
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0666), 0);
  fs::path empty = Dir.Path() / "in" / "empty.vtr";
  WriteBytes(empty, {});
  Host.Configure = [](TOptions& o) {
    for (TFormatEntry& e : o.ImgFormats()) e.Flag = e.Ext == "vtr" ? 1 : 0;
  };
  Job.ConvertFiles({fifo.string(), empty.string()});
  EXPECT_EQ(LogText(),
            Log({Rule, "Vorelle Last Usage Log", Rule, "", "Processing image file: \"pipe.vtr\"",
                 "Converting \"pipe.vtr\" to \"pipe.vtr\"", ExceptionLine("\"" + fifo.string() + "\" is not a regular file."),
                 "", "Processing image file: \"empty.vtr\"", "Converting \"empty.vtr\" to \"empty.vtr\"",
                 ExceptionLine("The file \"" + empty.string() + "\" is empty."), "",
                 "End of task. \"2\" image files converted."}));
  EXPECT_EQ(Job.Summary().Exceptions, 2);

  // No handler can save under the name: false, and nothing is left behind.
  fs::create_directories(Root / "x.vtr");
  Imaging::TImageData image = TestSupport::RandomImage(2, 2, Imaging::fmtA8R8G8B8, 1);
  EXPECT_FALSE(WriteImageFileSafely((Root / "x.vtr" / "x.vtn").string(), image));
  Imaging::ReleaseImage(image);
  EXPECT_EQ(Tree(Root / "x.vtr"), std::vector<std::string>{});

  if (!RunningAsRoot()) {
    fs::path locked = Dir.Path() / "in" / "locked.vtr";
    WriteBytes(locked, AppTest::TestFileBytes("VTR1", 2, 2, 4));
    fs::permissions(locked, fs::perms::none);
    Job.ConvertFiles({locked.string()});
    EXPECT_NE(LogText().find(ExceptionLine("Cannot open file \"" + locked.string() + "\". Permission denied")),
              std::string::npos)
        << LogText();
  }
}

TEST(EscapeControlCharacters, ShowsControlsAndKeepsText) {
  struct Case {
    std::string In, Out;
  } cases[] = {{"plain name.png", "plain name.png"},
               {"a\nb", "a\\nb"},
               {"x\r\ty", "x\\r\\ty"},
               {"\x1B[31mred", "\\x1B[31mred"},
               {std::string("nul\0end", 7), "nul\\x00end"},
               {"del\x7F", "del\\x7F"},
               {"csi\xC2\x9B" "2J", "csi\\u009B2J"},
               {"caf\xC3\xA9 \xE2\x82\xAC", "caf\xC3\xA9 \xE2\x82\xAC"},
               {"back\\slash", "back\\slash"}};
  for (const Case& c : cases) EXPECT_EQ(EscapeControlCharacters(c.In), c.Out) << c.Out;
}

// Names with newlines and escapes cannot forge log lines; the files keep
// their names.
TEST_F(ConversionJobTest, ControlCharactersAreEscapedInTheLog) {
  std::string name = "evil\nEnd of task. \"9\" image files converted.\x1B[2J.vtr";
  std::string in = Input(name);
  Job.ConvertFiles({in});
  std::string shown = "evil\\nEnd of task. \"9\" image files converted.\\x1B[2J.vtr";
  std::string outShown = "evil\\nEnd of task. \"9\" image files converted.\\x1B[2J.vtc";
  std::string log = LogText();
  EXPECT_NE(log.find("\r\nProcessing image file: \"" + shown + "\"\r\nConverting \"" + shown + "\" to \"" + shown +
                     "\"\r\nConverting \"" + shown + "\" to \"" + outShown + "\"\r\n"),
            std::string::npos)
      << log;
  EXPECT_EQ(log.find('\x1B'), std::string::npos);
  EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), std::count(log.begin(), log.end(), '\r'));
  EXPECT_TRUE(fs::is_regular_file(Root / name / ChangeFileExtension(name, "vtc")));
}

// Outputs get their names only when complete, through files nobody can
// predict: no temporary file is left, links at the final names are replaced
// (never followed), and names as long as the system allows convert.
TEST_F(ConversionJobTest, OutputsAreWrittenThroughUnnamedFiles) {
  std::string longName(250, 'n');
  longName += ".vtr";
  std::string a = Input("a.vtr"), l = Input(longName);
  fs::path victim = Dir.Path() / "victim.txt";
  WriteBytes(victim, {'k', 'e', 'e', 'p'});
  fs::create_directories(Root / "a.vtr");
  fs::create_symlink(victim, Root / "a.vtr" / "a.vtc");
  fs::create_symlink(victim, Root / "Vorelle.log");
  Job.ConvertFiles({a, l});
  EXPECT_EQ(ReadText(victim), "keep");
  EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(Root / "a.vtr" / "a.vtc")));
  EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(Root / "Vorelle.log")));
  EXPECT_EQ(Job.Summary().OutputsWritten, 4) << LogText();
  EXPECT_TRUE(fs::exists(Root / longName / ChangeFileExtension(longName, "vtc")));
  for (const std::string& entry : Tree(Root)) EXPECT_EQ(entry.find(".part"), std::string::npos) << entry;
}

// A written output is named after it is flushed, while its worker goes on:
// a folder in place of the name fails that output alone, with the message a
// failed naming has always had, and the log keeps its order.
TEST_F(ConversionJobTest, AnOutputThatCannotBeNamedFailsAlone) {
  for (int32_t workers : {1, 2}) {
    SCOPED_TRACE(workers);
    fs::remove_all(Root);
    std::string a = Input("a.vtr");
    fs::create_directories(Root / "a.vtr" / "a.vtc" / "inside");
    const std::string out = (Root / "a.vtr" / "a.vtc").string();
    Job.SetWorkerCount(workers);
    Job.ConvertFiles({a});
    EXPECT_EQ(LogText(), Log({Rule, "Vorelle Last Usage Log", Rule, "", "Processing image file: \"a.vtr\"",
                              "Converting \"a.vtr\" to \"a.vtr\"", "Converting \"a.vtr\" to \"a.vtc\"",
                              ExceptionLine("Error while saving images to file \"" + out + "\" (file format: vtc). " +
                                            "Exception Message: Cannot create file \"" + out + "\". Is a directory"),
                              "", "End of task. \"1\" image files converted."}));
    EXPECT_EQ(Job.Summary().OutputsWritten, 1);
    EXPECT_EQ(Job.Summary().Exceptions, 1);
    EXPECT_EQ(Tree(Root / "a.vtr"), (std::vector<std::string>{"a.vtc/", "a.vtc/inside/", "a.vtr"}));
  }
}

// A link of the running user in place of a folder is followed (the user may
// keep outputs elsewhere on purpose).
TEST_F(ConversionJobTest, OwnLinkInPlaceOfAFolderIsFollowed) {
  std::string a = Input("a.vtr");
  fs::create_directories(Dir.Path() / "elsewhere");
  fs::create_directories(Root);
  fs::create_directory_symlink(Dir.Path() / "elsewhere", Root / "a.vtr");
  Job.ConvertFiles({a});
  EXPECT_EQ(Tree(Dir.Path() / "elsewhere"), (std::vector<std::string>{"a.vtc", "a.vtr"}));
}

// Another user of a shared output folder plants links: at the per-file
// folder, at "Converted Images", at an output name and at the log's name.
// Folders behind links of other users are refused for their files, and
// nothing is written through any of the links.
TEST_F(ConversionJobTest, LinksPlantedByAnotherUserAreNotFollowed) {
  if (!RunningAsRoot()) GTEST_SKIP() << "needs root to act as a second user (nobody)";
  if (!TestSupport::HaveProgram("setpriv")) GTEST_SKIP() << "setpriv is not installed";
  fs::path shared = Dir.Path() / "out";
  fs::path victimDir = Dir.Path() / "victim";
  fs::create_directories(victimDir);
  WriteBytes(victimDir / "precious.txt", {'k', 'e', 'e', 'p'});
  fs::create_directories(Root);
  for (const fs::path& p : {Dir.Path(), shared, Root})
    fs::permissions(p, fs::perms::all | fs::perms::sticky_bit);
  fs::permissions(victimDir, fs::perms::all);
  std::string a = Input("a.vtr"), b = Input("b.vtr");
  ASSERT_EQ(RunAsNobody("ln -s " + victimDir.string() + " \"" + (Root / "a.vtr").string() + "\""), 0);
  ASSERT_EQ(RunAsNobody("mkdir \"" + (Root / "b.vtr").string() + "\" && chmod 777 \"" + (Root / "b.vtr").string() +
                        "\" && ln -s " + (victimDir / "precious.txt").string() + " \"" +
                        (Root / "b.vtr" / "b.vtc").string() + "\""),
            0);
  Job.ConvertFiles({a, b});
  std::string log = LogText();
  std::string refused = "The folder \"" + (Root / "a.vtr").string() +
                        "\" is a symbolic link of another user; it is not followed.";
  EXPECT_NE(log.find("Converting \"a.vtr\" to \"a.vtr\"\r\n" +
                     ExceptionLine("Error while saving images to file \"" + (Root / "a.vtr" / "a.vtr").string() +
                                   "\" (file format: vtr). Exception Message: " + refused)),
            std::string::npos)
      << log;
  EXPECT_EQ(Tree(victimDir), std::vector<std::string>{"precious.txt"});
  EXPECT_EQ(ReadText(victimDir / "precious.txt"), "keep");
  EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(Root / "b.vtr" / "b.vtc")));
  EXPECT_EQ(Job.Summary().OutputsWritten, 2);

  // "Converted Images" itself as another user's link: every output says so.
  fs::path shared2 = Dir.Path() / "shared2";
  fs::create_directories(shared2);
  fs::permissions(shared2, fs::perms::all | fs::perms::sticky_bit);
  ASSERT_EQ(RunAsNobody("ln -s " + victimDir.string() + " \"" + (shared2 / "Converted Images").string() + "\""), 0);
  Host.OutputDir = shared2.string();
  EXPECT_THROW(Job.ConvertFiles({a}), std::runtime_error);  // the log cannot be written either
  EXPECT_EQ(Tree(victimDir), std::vector<std::string>{"precious.txt"});
}

TEST_F(ConversionJobTest, EveryInputIsDecodedOnceForAllItsFormats) {
  std::string a = Input("a.vtr"), b = Input("b.vtc", "VTC1", 2);
  std::vector<uint8_t> cut = AppTest::TestFileBytes("VTR1", 8, 8, 3);
  cut.resize(40);
  fs::path bad = Dir.Path() / "in" / "bad.vtr";
  WriteBytes(bad, cut);
  AppTest::TTestFormatBase::Loads = 0;
  Job.ConvertFiles({a, b, bad.string()});
  EXPECT_EQ(AppTest::TTestFormatBase::Loads.load(), 3);
  // The failed load is still reported for each of the two formats.
  EXPECT_EQ(Job.Summary().Exceptions, 2);
  EXPECT_EQ(Job.Summary().OutputsWritten, 4);
  EXPECT_EQ(TestSupport::ReadFileBytes(Root / "b.vtc" / "b.vtr").size(), 12u + 3 * 2 * 4);
}

// A host that records the progress bars at every step, to compare runs.
class TTraceHost : public TTestHost {
public:
  std::vector<std::string> Trace;
  void StepProgress(TProgressBar B) override {
    TTestHost::StepProgress(B);
    Trace.push_back((B == TProgressBar::pbImages ? "images " : "formats ") + std::to_string(Pos[B]));
  }
  void SetProgressPosition(TProgressBar B, int32_t P) override {
    TTestHost::SetProgressPosition(B, P);
    Trace.push_back((B == TProgressBar::pbImages ? "images = " : "formats = ") + std::to_string(P));
  }
  void ShowCurrentFile(const std::string& Path) override { Trace.push_back("file " + Path); }
};

TEST(ConversionJobWorkers, FourWorkersWriteWhatOneWrites) {
  // The samples of every handler to every output format, with a damaged
  // file, an unsupported name and one name twice, once with one worker and
  // once with four: every output byte, the log and the progress must agree.
  AppTest::InitTestHandlers();
  ApplyStartupImagingOptions();
  TestSupport::TempDir dir;
  std::vector<std::string> files;
  for (const auto& e : fs::directory_iterator(TestSupport::SourceDir() / "samples"))
    if (e.path().stem() == "sample") files.push_back(e.path().string());
  std::sort(files.begin(), files.end());
  ASSERT_GE(files.size(), 20u);
  std::vector<uint8_t> png = TestSupport::ReadFileBytes(TestSupport::SourceDir() / "samples" / "sample.png");
  png.resize(png.size() / 2);
  fs::path cut = dir.Path() / "in" / "cut.png";
  WriteBytes(cut, png);
  files.insert(files.begin() + 3, cut.string());
  fs::path again = dir.Path() / "in" / "sample.gif";
  fs::copy_file(TestSupport::SourceDir() / "samples" / "sample.jpg", again);
  files.insert(files.begin() + 7, again.string());
  fs::path notes = dir.Path() / "in" / "notes.txt";
  WriteBytes(notes, {'x'});
  files.insert(files.begin() + 10, notes.string());

  struct TRun {
    std::string Log;
    std::vector<std::string> Trace;
    std::map<std::string, std::vector<uint8_t>> Outputs;
    int32_t Converted = 0;
  };
  auto run = [&](int32_t Workers) {
    TTraceHost host;
    TLiteralTranslator translator;
    TConversionJob job(host, translator);
    job.SetWorkerCount(Workers);
    host.Job = &job;
    host.OutputDir = (dir.Path() / ("out" + std::to_string(Workers))).string();
    host.SettingsFile = (dir.Path() / "config" / "settings.conf").string();
    fs::create_directories(host.OutputDir);
    host.Configure = [](TOptions& o) {
      for (TFormatEntry& e : o.ImgFormats()) e.Flag = e.Ext.rfind("vt", 0) == 0 ? 0 : 1;
    };
    job.ConvertFiles(files);
    TRun r;
    fs::path root = fs::path(host.OutputDir) / "Converted Images";
    r.Log = ReadText(root / "Vorelle.log");
    r.Trace = host.Trace;
    r.Converted = job.ConvertedImages();
    for (const auto& e : fs::recursive_directory_iterator(root))
      if (e.is_regular_file()) r.Outputs[fs::relative(e.path(), root).string()] = TestSupport::ReadFileBytes(e.path());
    return r;
  };
  TRun one = run(1), four = run(4);
  EXPECT_EQ(one.Converted, int32_t(files.size()) - 1);
  EXPECT_GT(one.Outputs.size(), 300u);
  EXPECT_NE(one.Log.find("Exception with message: \"Error while loading images from file \"" + cut.string()),
            std::string::npos);
  EXPECT_NE(one.Log.find("Processing image file: \"sample.gif (2)\""), std::string::npos);
  EXPECT_EQ(four.Log, one.Log);
  EXPECT_EQ(four.Trace, one.Trace);
  EXPECT_EQ(four.Converted, one.Converted);
  ASSERT_EQ(four.Outputs.size(), one.Outputs.size());
  for (const auto& [name, bytes] : one.Outputs) {
    auto found = four.Outputs.find(name);
    ASSERT_NE(found, four.Outputs.end()) << name;
    EXPECT_TRUE(found->second == bytes) << name;
  }
}

TEST_F(ConversionJobTest, CancelWithSeveralWorkersReportsWhatWasStarted) {
  // Outputs that a worker started before the cancel are finished and their
  // files reported in list order; nothing is written for a file the log
  // does not name.
  std::vector<std::string> files;
  for (int i = 0; i < 30; ++i) files.push_back(Input("f" + std::to_string(i) + ".vtr", "VTR1", uint32_t(i), 300, 200));
  Job.SetWorkerCount(4);
  Host.OnPump = [&](TTestHost& H) {
    if (H.Pos[TProgressBar::pbImages] == 2) Job.RequestCancel();
  };
  Job.ConvertFiles(files);
  EXPECT_TRUE(Job.Summary().Cancelled);
  const int32_t reported = Job.ConvertedImages();
  EXPECT_GE(reported, 2);
  EXPECT_LT(reported, 30);
  std::string log = LogText();
  for (int i = 0; i < 30; ++i) {
    const std::string name = "f" + std::to_string(i) + ".vtr";
    const bool named = log.find("Processing image file: \"" + name + "\"") != std::string::npos;
    EXPECT_EQ(named, i < reported) << name;
    if (!named) EXPECT_FALSE(fs::exists(Root / name)) << name;
  }
  const std::string tail = "\r\nThe run was cancelled.\r\n\r\nEnd of task. \"" + std::to_string(reported) +
                           "\" image files converted.\r\n";
  ASSERT_GT(log.size(), tail.size());
  EXPECT_EQ(log.substr(log.size() - tail.size()), tail);
  EXPECT_EQ(Host.EventsLike("Inform"), std::vector<std::string>{"Inform Operation cancelled"});
  EXPECT_FALSE(Job.ConversionRunning());
}
