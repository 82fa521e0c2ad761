// The installed program: `cmake --install` into a fresh prefix lays out the
// program folder, the links, the desktop entry, the AppStream data and the
// icons; the program started through its link finds its catalog and help
// book, speaks the desktop's language on its first start, and a second copy
// ends with status 0 while the first runs on.
#include <gtest/gtest.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTest>
#include <filesystem>
#include <map>

#include "TestSupport.h"
#include "UiTestSupport.h"

namespace fs = std::filesystem;

namespace {

std::map<std::string, std::string> ReadReport(const fs::path& File) {
  std::map<std::string, std::string> values;
  QFile file(QString::fromStdString(File.string()));
  if (!file.open(QIODevice::ReadOnly)) return values;
  for (const QByteArray& line : file.readAll().split('\n')) {
    int eq = line.indexOf('=');
    if (eq > 0) values[line.left(eq).toStdString()] = line.mid(eq + 1).toStdString();
  }
  return values;
}

bool WaitForFile(const fs::path& File, int TimeoutMs) {
  QElapsedTimer timer;
  timer.start();
  while (!fs::exists(File) || fs::file_size(File) == 0) {
    if (timer.elapsed() > TimeoutMs) return false;
    QTest::qWait(50);
  }
  QTest::qWait(50);
  return true;
}

}  // namespace

TEST(Install, ProgramFolderLinksDesktopEntryAndIcons) {
  UiTest::App();
  TestSupport::TempDir dir;
  const fs::path prefix = dir.Path() / "prefix";
  const std::string buildRoot = (fs::path(UiTest::AppBuildDir().toStdString()).parent_path()).string();
  std::string output;
  ASSERT_EQ(TestSupport::RunCommand("cmake --install '" + buildRoot + "' --prefix '" + prefix.string() + "' 2>&1",
                                    &output),
            0)
      << output;

  const fs::path program = prefix / "lib" / "vorelle";
  for (const char* file : {"vorelle", "vorelle-convert", "I18n/vorelle.i18n", "Help/vorelle.chm"})
    EXPECT_TRUE(fs::is_regular_file(program / file)) << file;
  for (const char* link : {"vorelle", "vorelle-convert"}) {
    ASSERT_TRUE(fs::is_symlink(prefix / "bin" / link)) << link;
    EXPECT_EQ(fs::read_symlink(prefix / "bin" / link), fs::path("../lib/vorelle") / link);
  }
  const fs::path share = prefix / "share";
  const fs::path desktop = share / "applications" / "com.ostrevo.Vorelle.desktop";
  const fs::path metainfo = share / "metainfo" / "com.ostrevo.Vorelle.metainfo.xml";
  EXPECT_TRUE(fs::exists(desktop));
  EXPECT_TRUE(fs::exists(metainfo));
  EXPECT_TRUE(fs::exists(share / "icons/hicolor/scalable/apps/com.ostrevo.Vorelle.svg"));
  for (int size : {16, 22, 24, 32, 48, 64, 128, 256})
    EXPECT_TRUE(fs::exists(share / "icons/hicolor" / (std::to_string(size) + "x" + std::to_string(size)) / "apps" /
                           "com.ostrevo.Vorelle.png"))
        << size;
  if (TestSupport::HaveProgram("desktop-file-validate"))
    EXPECT_EQ(TestSupport::RunCommand("desktop-file-validate '" + desktop.string() + "' 2>&1", &output), 0) << output;
  if (TestSupport::HaveProgram("appstreamcli"))
    EXPECT_EQ(TestSupport::RunCommand("appstreamcli validate --no-net '" + metainfo.string() + "' 2>&1", &output), 0)
        << output;

  // The program, started through its link on a German desktop with no
  // stored settings.
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert("HOME", QString::fromStdString((dir.Path() / "home").string()));
  env.insert("XDG_CONFIG_HOME", QString::fromStdString((dir.Path() / "config").string()));
  env.insert("QT_QPA_PLATFORM", "offscreen");
  env.insert("LANGUAGE", "de_DE");
  env.insert("LANG", "de_DE.UTF-8");
  env.remove("LC_ALL");
  env.remove("LC_MESSAGES");
  env.insert("ASAN_OPTIONS", "detect_leaks=0");
  fs::create_directories(dir.Path() / "home");
  const fs::path firstReport = dir.Path() / "first.txt", secondReport = dir.Path() / "second.txt";
  const QString link = QString::fromStdString((prefix / "bin" / "vorelle").string());

  QProcess first;
  env.insert("VORELLE_STARTUP_REPORT", QString::fromStdString(firstReport.string()));
  first.setProcessEnvironment(env);
  first.start(link, {});
  ASSERT_TRUE(first.waitForStarted(10000));
  ASSERT_TRUE(WaitForFile(firstReport, 60000)) << first.readAllStandardError().toStdString();
  std::map<std::string, std::string> report = ReadReport(firstReport);
  EXPECT_EQ(report["catalog"], (program / "I18n" / "vorelle.i18n").string());
  EXPECT_GE(std::stoi(report["languages"].empty() ? "0" : report["languages"]), 9);
  EXPECT_EQ(report["language"], "de-DE");
  EXPECT_EQ(report["help"], (program / "Help" / "vorelle.chm").string());
  EXPECT_EQ(report["help-exists"], "1");

  // A second copy asks the first to come forward and ends with status 0
  // before it shows a window.
  QProcess second;
  env.insert("VORELLE_STARTUP_REPORT", QString::fromStdString(secondReport.string()));
  second.setProcessEnvironment(env);
  second.start(link, {});
  ASSERT_TRUE(second.waitForFinished(60000));
  EXPECT_EQ(second.exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(second.exitCode(), 0) << second.readAllStandardError().toStdString();
  EXPECT_FALSE(fs::exists(secondReport));
  EXPECT_EQ(first.state(), QProcess::Running);

  first.terminate();
  if (!first.waitForFinished(10000)) {
    first.kill();
    first.waitForFinished(10000);
  }
}
