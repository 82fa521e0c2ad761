// The vorelle-convert command: options, exit status, stored options, the
// rule that nothing is opened unless asked, and Ctrl-C.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "OutputFormats.h"
#include "TestSupport.h"

namespace fs = std::filesystem;

namespace {

fs::path CommandPath() {
  // The test programs are built in <build>/tests, the command in <build>/app.
  return fs::read_symlink("/proc/self/exe").parent_path().parent_path() / "app" / "vorelle-convert";
}

std::string Quote(const std::string& S) {
  std::string q = "'";
  for (char c : S) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

std::string ReadText(const fs::path& Path) {
  std::vector<uint8_t> b = TestSupport::ReadFileBytes(Path);
  return std::string(b.begin(), b.end());
}

// Extensions of the system's output formats, in list order.
std::vector<std::string> SystemOutputFormats() {
  TestSupport::InitCore();
  std::vector<std::string> ext;
  Vorelle::TImagingUtils::GetOutputFormatsExtensions(ext);
  return ext;
}

bool HasOutputFormat(const std::string& Ext) {
  std::vector<std::string> all = SystemOutputFormats();
  return std::find(all.begin(), all.end(), Ext) != all.end();
}

class ConvertCommandTest : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_TRUE(fs::exists(CommandPath())) << CommandPath() << " is not built";
    fs::create_directories(Dir.Path() / "home" / "Desktop");
    fs::create_directories(Dir.Path() / "bin");
    // A stand-in for xdg-open that only leaves a note.
    std::ofstream(Dir.Path() / "bin" / "xdg-open") << "#!/bin/sh\necho \"$1\" >> " << Quote((Dir.Path() / "opened").string())
                                                   << "\n";
    fs::permissions(Dir.Path() / "bin" / "xdg-open", fs::perms::owner_all);
  }
  std::string Env() const {
    return "HOME=" + Quote((Dir.Path() / "home").string()) + " XDG_CONFIG_HOME=" +
           Quote((Dir.Path() / "config").string()) + " PATH=" + Quote((Dir.Path() / "bin").string()) + ":\"$PATH\" ";
  }
  // Runs the command; stdout and stderr are collected together.
  int Run(const std::string& Args, std::string* Output = nullptr) {
    std::string out;
    int rc = TestSupport::RunCommand(Env() + Quote(CommandPath().string()) + " " + Args + " 2>&1 </dev/null", &out);
    if (Output) *Output = out;
    return rc;
  }
  std::string Settings() const { return ReadText(Dir.Path() / "config" / "vorelle" / "settings.conf"); }
  std::string MakeBmp(const std::string& Name, int32_t W = 24, int32_t H = 16) {
    Imaging::TImageData image = TestSupport::RandomImage(W, H, Imaging::fmtR8G8B8, 3);
    fs::path p = Dir.Path() / "in" / Name;
    fs::create_directories(p.parent_path());
    EXPECT_TRUE(Imaging::WriteImageFile(p.string(), image));
    Imaging::ReleaseImage(image);
    return p.string();
  }
  TestSupport::TempDir Dir;
};

}  // namespace

TEST_F(ConvertCommandTest, HelpVersionAndUsageErrors) {
  std::string out;
  EXPECT_EQ(Run("--version", &out), 0);
  EXPECT_EQ(out, "vorelle-convert 0.1.0\n");
  EXPECT_EQ(Run("--help", &out), 0);
  EXPECT_EQ(out.rfind("Usage: vorelle-convert [options] PATH...\n", 0), 0u);
  EXPECT_EQ(Run("--bogus x", &out), 2);
  EXPECT_NE(out.find("unknown option --bogus"), std::string::npos) << out;
  EXPECT_EQ(Run("--formats nosuch x.bmp", &out), 2);
  EXPECT_NE(out.find("unknown output format \"nosuch\""), std::string::npos) << out;
  EXPECT_EQ(Run("--formats bmp --all-formats x.bmp", &out), 2);
  EXPECT_EQ(Run("--option 10 x.bmp", &out), 2);
  EXPECT_EQ(Run("--option 9999=1 x.bmp", &out), 2);
  EXPECT_NE(out.find("unknown imaging option 9999"), std::string::npos) << out;
  EXPECT_EQ(Run("--output-dir", &out), 2);
  EXPECT_EQ(Run("", &out), 2);
  EXPECT_NE(out.find("no input files"), std::string::npos) << out;
  // Reading the options created the key, and nothing else was stored.
  EXPECT_EQ(Settings().substr(Settings().find("\n[") + 1), "[Software\\Ostrevo\\Vorelle\\Options]\n");
}

TEST_F(ConvertCommandTest, ListFormatsShowsTheOutputListAndTheSelection) {
  std::vector<std::string> ext = SystemOutputFormats();
  if (ext.empty()) GTEST_SKIP() << "no output format is registered yet";
  std::vector<std::string> names;
  Vorelle::TImagingUtils::GetOutputFormatsNames(names);
  std::string out;
  ASSERT_EQ(Run("--list-formats --formats " + ext[0], &out), 0);
  std::string expect;
  for (size_t i = 0; i < ext.size(); ++i) {
    char line[256];
    std::snprintf(line, sizeof line, "[%c] %-4s %s\n", i == 0 ? 'x' : ' ', ext[i].c_str(), names[i].c_str());
    expect += line;
  }
  EXPECT_EQ(out, expect);
}

TEST_F(ConvertCommandTest, SaveStoresOptionsAndRefusesNoFormat) {
  std::vector<std::string> ext = SystemOutputFormats();
  if (ext.size() < 2) GTEST_SKIP() << "fewer than two output formats are registered yet";
  std::string out;
  EXPECT_EQ(Run("--save --formats ''", &out), 2);
  EXPECT_NE(out.find("You need to select at least one output format! Nothing was saved."), std::string::npos) << out;
  EXPECT_EQ(Settings().find("Format."), std::string::npos);
  fs::create_directories(Dir.Path() / "target");
  EXPECT_EQ(Run("--save --no-log --formats " + ext[1] + " --output-dir " + Quote((Dir.Path() / "target").string()), &out),
            0)
      << out;
  std::string s = Settings();
  EXPECT_NE(s.find("\nCreateLog=int:0\n"), std::string::npos) << s;
  // Only what the command line gives is stored: not the run-only rule that
  // nothing is opened, nor defaults that were never stored.
  EXPECT_EQ(s.find("OpenOutDir"), std::string::npos) << s;
  EXPECT_EQ(s.find("Language"), std::string::npos) << s;
  EXPECT_NE(s.find("\nOutputDir=str:" + (Dir.Path() / "target").string() + "\n"), std::string::npos) << s;
  EXPECT_NE(s.find("\nFormat." + ext[0] + "=int:0\nFormat." + ext[1] + "=int:1\n"), std::string::npos) << s;
  // A missing output folder is not stored.
  EXPECT_EQ(Run("--save --output-dir " + Quote((Dir.Path() / "missing").string()), &out), 2);
  // A later run uses what was stored.
  ASSERT_EQ(Run("--list-formats", &out), 0);
  EXPECT_EQ(out.find("[x]"), out.find("[x] " + ext[1]));
  EXPECT_EQ(out.find("[x]", out.find("[x]") + 1), std::string::npos) << out;
}

TEST_F(ConvertCommandTest, RunWithUnsupportedFileAndFolderExitsOne) {
  fs::create_directories(Dir.Path() / "in" / "folder");
  std::ofstream(Dir.Path() / "in" / "notes.txt") << "text";
  std::string out;
  EXPECT_EQ(Run(Quote((Dir.Path() / "in" / "notes.txt").string()) + " " + Quote((Dir.Path() / "in" / "folder").string()),
                &out),
            1);
  fs::path root = Dir.Path() / "home" / "Desktop" / "Converted Images";
  std::string log = ReadText(root / "Vorelle.log");
  EXPECT_EQ(log, "======================\r\nVorelle Last Usage Log\r\n======================\r\n\r\nImage file: \"" +
                     (Dir.Path() / "in" / "notes.txt").string() +
                     "\" not supported.\r\n\r\nEnd of task. \"0\" image files converted.\r\n");
  EXPECT_NE(out.find("Output: " + root.string() + "/\nLog: " + root.string() + "/Vorelle.log\n"
                     "Files converted: 0, outputs written: 0 of 0, failures: 0, not supported: 1\n"),
            std::string::npos)
      << out;
  // The stored OpenOutDir is true, but the command opens nothing unasked.
  EXPECT_FALSE(fs::exists(Dir.Path() / "opened"));
}

TEST_F(ConvertCommandTest, ConvertsARealFileAndOpensOnlyWhenAsked) {
  if (!HasOutputFormat("bmp") || !HasOutputFormat("tga")) GTEST_SKIP() << "BMP or TGA handler not registered yet";
  std::string in = MakeBmp("photo.bmp");
  fs::path out = Dir.Path() / "out";
  std::string text;
  ASSERT_EQ(Run("--formats bmp,TGA --output-dir " + Quote(out.string()) + " --open --launch-log " + Quote(in), &text),
            0)
      << text;
  EXPECT_NE(text.find("[1/1] " + in + "\n"), std::string::npos) << text;  // plain lines without a terminal
  EXPECT_NE(text.find("Files converted: 1, outputs written: 2 of 2, failures: 0, not supported: 0\n"),
            std::string::npos)
      << text;
  fs::path root = out / "Converted Images";
  EXPECT_TRUE(fs::exists(root / "photo.bmp" / "photo.bmp"));
  EXPECT_TRUE(fs::exists(root / "photo.bmp" / "photo.tga"));
  int32_t w, h, w2, h2;
  std::vector<uint8_t> a, b;
  ASSERT_TRUE(TestSupport::OwnDecodeRGBA(in, w, h, a));
  ASSERT_TRUE(TestSupport::OwnDecodeRGBA((root / "photo.bmp" / "photo.tga").string(), w2, h2, b));
  EXPECT_TRUE(a == b);
  // Both opens were asked for; the stand-in runs detached.
  auto lines = [&] {
    std::string t = ReadText(Dir.Path() / "opened");
    return std::count(t.begin(), t.end(), '\n');
  };
  for (int i = 0; i < 50 && lines() < 2; ++i) usleep(100000);
  std::string opened = ReadText(Dir.Path() / "opened");
  EXPECT_NE(opened.find(root.string() + "/\n"), std::string::npos) << opened;
  EXPECT_NE(opened.find(root.string() + "/Vorelle.log\n"), std::string::npos) << opened;
}

TEST_F(ConvertCommandTest, JpegStartsAtQualityHundredAndOptionsOverrideIt) {
  if (!HasOutputFormat("jpg") || !HasOutputFormat("bmp")) GTEST_SKIP() << "JPEG or BMP handler not registered yet";
  std::string in = MakeBmp("q.bmp", 64, 64);
  ASSERT_EQ(Run("--formats jpg --output-dir " + Quote((Dir.Path() / "a").string()) + " " + Quote(in)), 0);
  ASSERT_EQ(Run("--formats jpg --option 10=30 --output-dir " + Quote((Dir.Path() / "b").string()) + " " + Quote(in)), 0);
  auto size = [&](const char* Sub) {
    return fs::file_size(Dir.Path() / Sub / "Converted Images" / "q.bmp" / "q.jpg");
  };
  EXPECT_GT(size("a"), size("b") * 2);
}

TEST_F(ConvertCommandTest, WrongTypedStoredValueIsReportedAndTheRunGoesOn) {
  fs::create_directories(Dir.Path() / "config" / "vorelle");
  std::ofstream(Dir.Path() / "config" / "vorelle" / "settings.conf")
      << "[Software\\Ostrevo\\Vorelle\\Options]\nCreateLog=str:no\n";
  std::ofstream(Dir.Path() / "notes.txt") << "x";
  std::string out;
  EXPECT_EQ(Run(Quote((Dir.Path() / "notes.txt").string()), &out), 1);
  // Shown once although the options are read twice (command line and run).
  size_t first = out.find("vorelle-convert: Invalid data type for 'CreateLog'\n");
  ASSERT_NE(first, std::string::npos) << out;
  EXPECT_EQ(out.find("Invalid data type", first + 30), std::string::npos) << out;
  EXPECT_TRUE(fs::exists(Dir.Path() / "home" / "Desktop" / "Converted Images" / "Vorelle.log"));  // default: true
  EXPECT_NE(Settings().find("CreateLog=str:no"), std::string::npos);  // left as it was
}

TEST_F(ConvertCommandTest, InterruptCancelsTheRun) {
  if (!HasOutputFormat("bmp")) GTEST_SKIP() << "BMP handler not registered yet";
  std::string first = MakeBmp("f0.bmp", 256, 256);
  std::vector<std::string> args = {CommandPath().string(), "--formats", "bmp", "--output-dir",
                                   (Dir.Path() / "out").string()};
  for (int i = 0; i < 400; ++i) args.push_back(first);
  int pipeFd[2];
  ASSERT_EQ(pipe(pipeFd), 0);
  pid_t pid = fork();
  if (pid == 0) {
    dup2(pipeFd[1], 1);
    dup2(pipeFd[1], 2);
    close(pipeFd[0]);
    setenv("HOME", (Dir.Path() / "home").c_str(), 1);
    setenv("XDG_CONFIG_HOME", (Dir.Path() / "config").c_str(), 1);
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(pipeFd[1]);
  std::string out;
  char buf[4096];
  bool sent = false;
  for (ssize_t n; (n = read(pipeFd[0], buf, sizeof buf)) > 0;) {
    out.append(buf, size_t(n));
    if (!sent && out.find("[2/400]") != std::string::npos) {
      kill(pid, SIGINT);
      sent = true;
    }
  }
  close(pipeFd[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  ASSERT_TRUE(WIFEXITED(status)) << out;
  EXPECT_EQ(WEXITSTATUS(status), 130) << out;
  EXPECT_NE(out.find("Operation cancelled\n"), std::string::npos) << out;
  EXPECT_EQ(out.find("[400/400]"), std::string::npos);
  std::string log = ReadText(Dir.Path() / "out" / "Converted Images" / "Vorelle.log");
  EXPECT_NE(log.find("\r\n\r\nEnd of task. \""), std::string::npos);
}

// --max-pixels sets the pixel limit for the run: an image above it is
// refused with the reason in the log; 0 lifts the limit; bad counts are
// usage errors.
TEST_F(ConvertCommandTest, MaxPixelsRefusesLargerImages) {
  if (!HasOutputFormat("bmp")) GTEST_SKIP() << "BMP handler not registered yet";
  std::string in = MakeBmp("p.bmp", 24, 16);  // 384 pixels
  std::string out;
  std::string args = "--formats bmp --output-dir " + Quote((Dir.Path() / "out").string()) + " ";
  EXPECT_EQ(Run(args + "--max-pixels 383 " + Quote(in), &out), 1) << out;
  std::string log = ReadText(Dir.Path() / "out" / "Converted Images" / "Vorelle.log");
  EXPECT_NE(log.find("The image has 24 x 16 pixels, more than the limit of 383 pixels."), std::string::npos) << log;
  EXPECT_EQ(Run(args + "--max-pixels=384 " + Quote(in), &out), 0) << out;
  EXPECT_EQ(Run(args + "--max-pixels 0 " + Quote(in), &out), 0) << out;
  EXPECT_EQ(Run(args + "--max-pixels -1 " + Quote(in), &out), 2) << out;
  EXPECT_NE(out.find("--max-pixels needs a count of pixels (0 = no limit), not \"-1\""), std::string::npos) << out;
  EXPECT_EQ(Run(args + "--max-pixels many " + Quote(in), &out), 2) << out;
}

// --save that cannot store anything says so and fails; one that only sets
// formats keeps a stored output folder that is missing right now, and a run
// in that state says where it writes instead.
TEST_F(ConvertCommandTest, SaveFailuresAndAMissingStoredFolder) {
  std::vector<std::string> ext = SystemOutputFormats();
  if (ext.size() < 2) GTEST_SKIP() << "fewer than two output formats are registered yet";
  fs::path settings = Dir.Path() / "config" / "vorelle" / "settings.conf";
  fs::create_directories(settings);  // a folder in place of the file
  std::string out;
  EXPECT_EQ(Run("--save --formats " + ext[0], &out), 1) << out;
  EXPECT_NE(out.find("cannot be read (not a regular file)"), std::string::npos) << out;
  EXPECT_NE(out.find("Nothing was saved."), std::string::npos) << out;
  EXPECT_EQ(out.find("Options saved"), std::string::npos) << out;
  EXPECT_TRUE(fs::is_directory(settings));
  fs::remove_all(settings);

  std::string missing = (Dir.Path() / "unmounted" / "pictures").string();
  std::ofstream(settings) << "[Software\\Ostrevo\\Vorelle\\Options]\nOutputDir=str:" << missing << "\n";
  EXPECT_EQ(Run("--save --formats " + ext[1], &out), 0) << out;
  EXPECT_NE(out.find("Options saved"), std::string::npos) << out;
  std::string s = Settings();
  EXPECT_NE(s.find("\nOutputDir=str:" + missing + "\n"), std::string::npos) << s;
  EXPECT_NE(s.find("\nFormat." + ext[1] + "=int:1\n"), std::string::npos) << s;
  EXPECT_EQ(s.find("CreateLog"), std::string::npos) << s;

  if (!HasOutputFormat("bmp")) return;
  std::string in = MakeBmp("m.bmp");
  EXPECT_EQ(Run("--formats bmp " + Quote(in), &out), 0) << out;
  std::string desktop = (Dir.Path() / "home" / "Desktop").string();
  std::string notice = "The output folder \"" + missing + "\" does not exist now; the files are written to \"" +
                       desktop + "\" instead.";
  EXPECT_NE(out.find("vorelle-convert: " + notice), std::string::npos) << out;
  std::string log = ReadText(fs::path(desktop) / "Converted Images" / "Vorelle.log");
  EXPECT_NE(log.find("\r\n\r\n" + notice + "\r\n"), std::string::npos) << log;
}

// Names with control characters are shown escaped on the terminal.
TEST_F(ConvertCommandTest, ControlCharactersAreEscapedOnTheTerminal) {
  if (!HasOutputFormat("bmp")) GTEST_SKIP() << "BMP handler not registered yet";
  std::string in = MakeBmp("x\x1B]0;owned\x07y.bmp");
  std::string out;
  EXPECT_EQ(Run("--formats bmp --output-dir " + Quote((Dir.Path() / "out").string()) + " " + Quote(in), &out), 0)
      << out;
  EXPECT_EQ(out.find('\x1B'), std::string::npos);
  EXPECT_EQ(out.find('\x07'), std::string::npos);
  EXPECT_NE(out.find("x\\x1B]0;owned\\x07y.bmp"), std::string::npos) << out;
}
