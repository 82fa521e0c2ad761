// The main window driven as a user drives it, on the offscreen platform:
// drops, the run on its worker thread, Cancel, the close question, Escape
// and Enter, the hints after the Options dialog, a second copy of the
// program.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QApplication>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QElapsedTimer>
#include <QHelpEvent>
#include <QLabel>
#include <QMimeData>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <QTabWidget>
#include <QCheckBox>
#include <QUrl>
#include <filesystem>

#include "ConversionJob.h"
#include "MainForm.h"
#include "OptionsForm.h"
#include "OptionsStore.h"
#include "Settings.h"
#include "TestSupport.h"
#include "UiTestSupport.h"

namespace fs = std::filesystem;
using namespace Vorelle;

namespace {

class MainFormTest : public ::testing::Test {
protected:
  TestSupport::TempDir Dir;
  fs::path Root;
  std::unique_ptr<TOptions> AppOptions;

  void SetUp() override {
    UiTest::App();
    TestSupport::InitCore();
    Root = Dir.Path();
    fs::create_directories(Root / "config");
    fs::create_directories(Root / "out");
    ::setenv("XDG_CONFIG_HOME", (Root / "config").c_str(), 1);
    StoreOptions({"bmp", "png"});
  }

  // Stores options with the given formats selected, writing under out/,
  // opening nothing at the end.
  void StoreOptions(const std::vector<std::string>& Formats, bool CreateLog = true) {
    TSettingsFile settings(UserSettingsPath());
    TOptions options(settings, (Root / "out").string());
    options.SetOutputDir((Root / "out").string());
    options.SetOpenOutDir(false);
    options.SetLaunchLog(false);
    options.SetCreateLog(CreateLog);
    for (TFormatEntry& e : options.ImgFormats())
      e.Flag = std::find(Formats.begin(), Formats.end(), e.Ext) != Formats.end() ? 1 : 0;
    options.Save(settings);
    AppOptions = std::make_unique<TOptions>(TOptions::FromUserSettings());
  }

  fs::path Image(const std::string& Name, int Width = 8, int Height = 8) {
    fs::path path = Root / "in" / Name;
    fs::create_directories(path.parent_path());
    Imaging::TImageData image = TestSupport::RandomImage(Width, Height, Imaging::fmtR8G8B8, 7);
    EXPECT_TRUE(Imaging::WriteImageFile(path.string(), image));
    Imaging::ReleaseImage(image);
    return path;
  }

  static void Drop(TMainForm& Form, const QList<QUrl>& Urls) {
    QMimeData data;
    data.setUrls(Urls);
    QPoint at(300, 40);
    QDragEnterEvent enter(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&Form, &enter);
    ASSERT_TRUE(enter.isAccepted());
    QDropEvent drop(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&Form, &drop);
    ASSERT_TRUE(drop.isAccepted());
  }

  static bool WaitForRun(TMainForm& Form, int TimeoutMs = 120000) {
    QElapsedTimer timer;
    timer.start();
    while (!Form.ConversionRunning() && timer.elapsed() < 2000) QTest::qWait(5);
    while (Form.ConversionRunning() && timer.elapsed() < TimeoutMs) QTest::qWait(5);
    return !Form.ConversionRunning();
  }

  std::vector<std::string> OutputTree() {
    std::vector<std::string> names;
    fs::path base = Root / "out" / "Converted Images";
    if (!fs::exists(base)) return names;
    for (const auto& e : fs::recursive_directory_iterator(base))
      names.push_back(fs::relative(e.path(), base).string() + (e.is_directory() ? "/" : ""));
    std::sort(names.begin(), names.end());
    return names;
  }
};

}  // namespace

TEST_F(MainFormTest, WindowAsDescribed) {
  TMainForm form(*AppOptions);
  EXPECT_EQ(form.windowTitle(), QStringLiteral("Vorelle"));
  EXPECT_EQ(form.size(), QSize(424, 148));
  struct {
    QWidget* Widget;
    QRect Geometry;
  } table[] = {
      {form.ImageProgressLabel, {8, 8, 87, 14}},  {form.ImagesProgressBar, {8, 27, 150, 17}},
      {form.FormatsProgressLabel, {8, 58, 91, 14}}, {form.FormatsProgressBar, {8, 77, 150, 17}},
      {form.NoteStaticText, {189, 19, 217, 57}},  {form.CancelButton, {8, 110, 75, 25}},
      {form.OptionsButton, {250, 110, 75, 25}},   {form.CloseButton, {331, 110, 75, 25}},
  };
  for (auto& row : table) {
    // Labels are as wide as their text needs in the font at hand (at least
    // the designed width); everything else is placed exactly.
    QRect g = row.Widget->geometry();
    if (qobject_cast<QLabel*>(row.Widget) && row.Widget != form.NoteStaticText) {
      EXPECT_EQ(g.topLeft(), row.Geometry.topLeft()) << row.Widget->objectName().toStdString();
      EXPECT_GE(g.width(), row.Geometry.width());
      EXPECT_GE(g.width(), row.Widget->sizeHint().width());
    } else {
      EXPECT_EQ(g, row.Geometry) << row.Widget->objectName().toStdString();
    }
  }
  EXPECT_EQ(form.CloseButton->text(), QStringLiteral("Close"));
  EXPECT_EQ(form.OptionsButton->text(), QStringLiteral("Options..."));
  EXPECT_EQ(form.NoteStaticText->toolTip(),
            QStringLiteral("For more information press the F1 key to open the program help file"));
  EXPECT_EQ(form.ImagesProgressBar->toolTip(), form.ImageProgressLabel->toolTip());
  EXPECT_FALSE(form.CancelButton->isVisibleTo(&form));
  EXPECT_TRUE(form.acceptDrops());
}

TEST_F(MainFormTest, DropOfTwoFilesAndAFolderConvertsTheTwoFiles) {
  fs::path a = Image("a.bmp"), b = Image("b.png");
  fs::create_directories(Root / "in" / "folder.png");
  TMainForm form(*AppOptions);
  form.show();
  Drop(form, {QUrl::fromLocalFile(QString::fromStdString(a.string())),
              QUrl::fromLocalFile(QString::fromStdString((Root / "in" / "folder.png").string())),
              QUrl(QStringLiteral("https://example.invalid/remote.png")),
              QUrl::fromLocalFile(QString::fromStdString(b.string()))});
  ASSERT_TRUE(WaitForRun(form));
  EXPECT_EQ(form.LastSummary().ConvertedImages, 2);
  EXPECT_EQ(OutputTree(), (std::vector<std::string>{"Vorelle.log", "a.bmp/", "a.bmp/a.bmp", "a.bmp/a.png",
                                                     "b.png/", "b.png/b.bmp", "b.png/b.png"}));
  const std::vector<std::string>& log = form.LastLog();
  ASSERT_FALSE(log.empty());
  EXPECT_EQ(log.back(), "End of task. \"2\" image files converted.");
  // Idle again: bars at 0, Cancel hidden, Options enabled, drops accepted.
  EXPECT_EQ(form.ImagesProgressBar->value(), 0);
  EXPECT_EQ(form.FormatsProgressBar->value(), 0);
  EXPECT_FALSE(form.CancelButton->isVisible());
  EXPECT_TRUE(form.OptionsButton->isEnabled());
  EXPECT_TRUE(form.acceptDrops());
}

TEST_F(MainFormTest, DropOfFoldersOnlyRunsAnEmptyConversion) {
  fs::create_directories(Root / "in" / "one");
  TMainForm form(*AppOptions);
  form.show();
  Drop(form, {QUrl::fromLocalFile(QString::fromStdString((Root / "in" / "one").string()))});
  ASSERT_TRUE(WaitForRun(form));
  EXPECT_EQ(form.LastSummary().ConvertedImages, 0);
  EXPECT_EQ(OutputTree(), (std::vector<std::string>{"Vorelle.log"}));
  EXPECT_EQ(form.LastLog().back(), "End of task. \"0\" image files converted.");
}

// A run long enough to act during it: one large image to every format.
class MainFormLongRunTest : public MainFormTest {
protected:
  fs::path Large;
  void SetUp() override {
    MainFormTest::SetUp();
    std::vector<std::string> all;
    for (const TFormatEntry& e : AppOptions->ImgFormats()) all.push_back(e.Ext);
    StoreOptions(all);
    Large = Image("large.bmp", 1200, 800);
  }
  QStringList Files(int Count) {
    QStringList files;
    for (int i = 0; i < Count; ++i) files << QString::fromStdString(Large.string());
    return files;
  }
};

TEST_F(MainFormLongRunTest, CancelStopsTheRunAndSaysSo) {
  TMainForm form(*AppOptions);
  QStringList informed;
  form.InformHandler = [&](const QString& Text) { informed << Text; };
  form.show();
  // Enough files that every core has several to convert.
  ASSERT_TRUE(form.HandleDroppedFiles(Files(12)));
  EXPECT_TRUE(form.ConversionRunning());
  QTest::qWait(50);
  EXPECT_TRUE(form.CancelButton->isVisible());
  EXPECT_FALSE(form.OptionsButton->isEnabled());
  // Drops are refused while the run is active.
  EXPECT_FALSE(form.HandleDroppedFiles(Files(1)));
  QTest::mouseClick(form.CancelButton, Qt::LeftButton);
  ASSERT_TRUE(WaitForRun(form));
  EXPECT_TRUE(form.LastSummary().Cancelled);
  EXPECT_LT(form.LastSummary().ConvertedImages, 12);
  EXPECT_EQ(informed, QStringList{QStringLiteral("Operation cancelled")});
  EXPECT_TRUE(form.isVisible());
}

TEST_F(MainFormLongRunTest, CloseQuestionDuringARun) {
  TMainForm form(*AppOptions);
  QStringList asked;
  bool answer = false;
  form.ConfirmHandler = [&](const QString& Text) {
    asked << Text;
    return answer;
  };
  QStringList informed;
  form.InformHandler = [&](const QString& Text) { informed << Text; };
  form.show();

  // No: the run goes on to its end and the window stays.
  ASSERT_TRUE(form.HandleDroppedFiles(Files(1)));
  QTest::qWait(20);
  EXPECT_FALSE(form.close());
  EXPECT_EQ(asked, QStringList{QString::fromUtf8(TMainForm::TextConfirmClose)});
  ASSERT_TRUE(WaitForRun(form));
  EXPECT_FALSE(form.LastSummary().Cancelled);
  EXPECT_TRUE(form.isVisible());

  // Yes: the run stops at its next poll and the window closes, without
  // the information about the cancel.
  answer = true;
  ASSERT_TRUE(form.HandleDroppedFiles(Files(2)));
  QTest::qWait(20);
  form.close();
  ASSERT_TRUE(WaitForRun(form));
  QTest::qWait(20);
  EXPECT_TRUE(form.LastSummary().Cancelled);
  EXPECT_FALSE(form.isVisible());
  EXPECT_TRUE(informed.isEmpty());
}

TEST_F(MainFormLongRunTest, WindowRepaintsDuringALongRun) {
  TMainForm form(*AppOptions);
  form.show();
  int paints = 0;
  struct TPaintCounter : QObject {
    int* Count;
    bool eventFilter(QObject*, QEvent* E) override {
      if (E->type() == QEvent::Paint) ++*Count;
      return false;
    }
  } counter;
  counter.Count = &paints;
  form.installEventFilter(&counter);
  QElapsedTimer clock;
  qint64 last = 0, longestGap = 0;
  QTimer ticker;
  QObject::connect(&ticker, &QTimer::timeout, [&] {
    qint64 now = clock.elapsed();
    longestGap = std::max(longestGap, now - last);
    last = now;
    form.update();
  });
  ASSERT_TRUE(form.HandleDroppedFiles(Files(1)));
  clock.start();
  ticker.start(20);
  ASSERT_TRUE(WaitForRun(form));
  ticker.stop();
  qint64 runTime = clock.elapsed();
  // The window was painted all along the run, not only after it.
  EXPECT_GE(paints, int(runTime / 200));
  EXPECT_LT(longestGap, 1000) << "the window's thread was blocked";
}

TEST_F(MainFormTest, EscapeAndEnterCloseTheIdleWindow) {
  for (int key : {int(Qt::Key_Escape), int(Qt::Key_Return)}) {
    TMainForm form(*AppOptions);
    form.show();
    form.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
    QTest::keyClick(form.CloseButton, Qt::Key(key));
    EXPECT_FALSE(form.isVisible()) << key;
  }
}

TEST_F(MainFormTest, HintsFollowTheOptionsAfterTheDialog) {
  TMainForm form(*AppOptions);
  form.show();
  ASSERT_TRUE(form.ShowHints());
  // The user unchecks the hints in the dialog and saves.
  bool sawDialog = false, mainDisabled = false;
  QTimer::singleShot(50, [&] {
    auto* dialog = qobject_cast<TOptionsForm*>(QApplication::activeModalWidget());
    if (!dialog) return;
    sawDialog = true;
    mainDisabled = !form.isEnabled();
    dialog->OptionsPageControl->setCurrentWidget(dialog->InterfaceTab);
    QTest::mouseClick(dialog->ShowHintsCheckBox, Qt::LeftButton, {}, QPoint(4, dialog->ShowHintsCheckBox->height() / 2));
    QTest::mouseClick(dialog->SaveButton, Qt::LeftButton);
  });
  QTest::mouseClick(form.OptionsButton, Qt::LeftButton);
  ASSERT_TRUE(sawDialog);
  EXPECT_TRUE(mainDisabled);
  EXPECT_FALSE(form.ShowHints());
  int32_t stored = -1;
  EXPECT_TRUE(UiTest::ReadInt(UserSettingsPath(), "ShowHints", stored));
  EXPECT_EQ(stored, 0);
  // A tooltip request on a control is swallowed now.
  QHelpEvent help(QEvent::ToolTip, QPoint(2, 2), form.CloseButton->mapToGlobal(QPoint(2, 2)));
  EXPECT_TRUE(form.eventFilter(form.CloseButton, &help));
  EXPECT_TRUE(form.isEnabled());
  EXPECT_TRUE(form.acceptDrops());
}

TEST(MainFormLanguage, FirstStartFollowsTheDesktop) {
  const QStringList catalog{"en-US", "de-DE", "fr-FR", "pt-BR", "es-ES", "zh-CN"};
  struct {
    QStringList Desktop;
    const char* Expected;
  } table[] = {
      {{"de-DE", "de"}, "de-DE"},   {{"de-AT"}, "de-DE"},         {{"fr_BE"}, "fr-FR"},
      {{"pt-PT", "pt"}, "pt-BR"},   {{"es-MX"}, "es-ES"},         {{"nl-NL", "fr-CA"}, "fr-FR"},
      {{"zh-Hans-CN"}, "zh-CN"},    {{"nl-NL"}, "en-US"},         {{}, "en-US"},
      {{"EN-gb"}, "en-US"},
  };
  for (auto& row : table)
    EXPECT_EQ(TMainForm::FirstStartLanguage(row.Desktop, catalog), QString::fromLatin1(row.Expected))
        << row.Desktop.join(',').toStdString();
}
