// The program's services around its windows: the help book and help window,
// the help on the first start, the main window's stored position, the
// tooltip window and the visual styles.
#include <gtest/gtest.h>

#include <QHelpEvent>
#include <QImage>
#include <QLabel>
#include <QTextDocument>
#include <QStyle>
#include <QToolTip>
#include <filesystem>
#include <fstream>

#include "FormPosition.h"
#include "HelpViewer.h"
#include "OptionsStore.h"
#include "ProgramHelp.h"
#include "ProgramHint.h"
#include "StyleManager.h"
#include "TestSupport.h"
#include "UiTestSupport.h"

using namespace Vorelle;
using TestSupport::TempDir;

namespace {

QString Q(const std::string& S) { return QString::fromStdString(S); }

class HelpTest : public ::testing::Test {
protected:
  void SetUp() override {
    UiTest::App();
    TProgramHelp::SetProgramFile(UiTest::AppBuildDir() + "/vorelle");
    TProgramHelp::SetCultureNameQuery({});
  }
  void TearDown() override {
    delete TProgramHelp::Viewer();
    TProgramHelp::SetProgramFile({});
    TProgramHelp::SetCultureNameQuery({});
  }
  // A book compiled here from the given pages (name, content).
  static bool CompileBook(const TempDir& Dir, const std::vector<std::pair<std::string, std::string>>& Files,
                          const std::string& Book) {
    std::filesystem::create_directories(std::filesystem::path(Dir.File(Book)).parent_path());
    std::ofstream hhp(Dir.File("book.hhp"));
    hhp << "[OPTIONS]\nCompiled file=" << Book << "\nDefault topic=" << Files[0].first << "\n\n[FILES]\n";
    for (auto& [name, content] : Files) {
      hhp << name << "\n";
      std::ofstream(Dir.File(name), std::ios::binary) << content;
    }
    hhp.close();
    return TestSupport::RunCommand("cd '" + Dir.Path().string() + "' && chmcmd --no-html-scan book.hhp >/dev/null 2>&1") ==
           0;
  }
};

}  // namespace

TEST_F(HelpTest, BuiltBookOpensAtTheCulturePageThroughTheProgramHelp) {
  ASSERT_TRUE(QFileInfo::exists(TProgramHelp::HelpFilePath())) << TProgramHelp::HelpFilePath().toStdString();
  EXPECT_EQ(TProgramHelp::HelpFilePath(), UiTest::AppBuildDir() + "/Help/vorelle.chm");

  // No culture, a culture without a page of its own, the English culture:
  // each shows the English page.
  for (QString culture : {"", "nl-NL", "en-US", "../en-US"}) {
    TProgramHelp::SetCultureNameQuery([culture] { return culture; });
    ASSERT_TRUE(TProgramHelp::OpenProgramHelp()) << culture.toStdString();
    THelpViewer* viewer = TProgramHelp::Viewer();
    ASSERT_NE(viewer, nullptr);
    EXPECT_TRUE(viewer->isVisible());
    EXPECT_EQ(viewer->CurrentTopic(), "en-US.html");
    EXPECT_EQ(viewer->windowTitle(), "Vorelle Help");
    QString text = viewer->toPlainText();
    for (const char* part : {"Converted Images", "Vorelle.log", "Output directory", "vorelle-convert",
                             "Daggerfall Sky Images", "Launch the log file when the conversion finish", "Fusion Dark"})
      EXPECT_TRUE(text.contains(part)) << part;
  }
  // One help window serves every request.
  THelpViewer* first = TProgramHelp::Viewer();
  ASSERT_TRUE(TProgramHelp::OpenProgramHelp());
  EXPECT_EQ(TProgramHelp::Viewer(), first);
}

TEST_F(HelpTest, MissingOrDamagedBookOpensNothing) {
  TempDir dir;
  TProgramHelp::SetProgramFile(Q(dir.File("vorelle")));
  EXPECT_EQ(TProgramHelp::HelpFilePath(), Q(dir.File("Help/vorelle.chm")));
  EXPECT_FALSE(TProgramHelp::OpenProgramHelp());
  EXPECT_EQ(TProgramHelp::Viewer(), nullptr);

  std::filesystem::create_directories(dir.Path() / "Help");
  std::filesystem::create_directories(dir.Path() / "Help" / "folder.chm");
  std::ofstream(dir.File("Help/vorelle.chm"), std::ios::binary) << "ITSF but not really a help book";
  EXPECT_FALSE(TProgramHelp::OpenProgramHelp());
  EXPECT_EQ(TProgramHelp::Viewer(), nullptr);
  TChmBook book;
  EXPECT_FALSE(book.Open(Q(dir.File("Help/folder.chm"))));
  EXPECT_FALSE(book.Open(Q(dir.File("Help/none.chm"))));
}

TEST_F(HelpTest, PagesLinksAndPicturesComeFromTheBookOnly) {
  TempDir dir;
  QImage pic(4, 3, QImage::Format_RGB32);
  pic.fill(Qt::red);
  ASSERT_TRUE(pic.save(Q(dir.File("pic.png"))));
  std::ofstream(dir.File("outside.png"), std::ios::binary) << "x";
  const std::string outside = dir.File("outside.png");
  std::ifstream png(dir.File("pic.png"), std::ios::binary);
  std::string pngBytes((std::istreambuf_iterator<char>(png)), {});
  ASSERT_TRUE(CompileBook(dir,
                          {{"de-DE.html", "<html><head><title>Hilfe</title></head><body><p>Deutsche Seite</p>"
                                          "<img src=\"pic.png\"><img src=\"file://" + outside + "\"></body></html>"},
                           {"en-US.html", "<html><body><p>English page</p></body></html>"},
                           {"pic.png", pngBytes}},
                          "Help/vorelle.chm"))
      << "chmcmd failed";
  TProgramHelp::SetProgramFile(Q(dir.File("vorelle")));
  TProgramHelp::SetCultureNameQuery([] { return QStringLiteral("de-DE"); });
  ASSERT_TRUE(TProgramHelp::OpenProgramHelp());
  THelpViewer* viewer = TProgramHelp::Viewer();
  EXPECT_EQ(viewer->CurrentTopic(), "de-DE.html");
  EXPECT_EQ(viewer->windowTitle(), "Hilfe");
  EXPECT_EQ(viewer->toPlainText().trimmed().left(14), "Deutsche Seite");

  QVariant inBook = viewer->loadResource(QTextDocument::ImageResource, QUrl("chm:/pic.png"));
  EXPECT_EQ(inBook.toByteArray(), QByteArray::fromStdString(pngBytes));
  EXPECT_FALSE(viewer->loadResource(QTextDocument::ImageResource, QUrl::fromLocalFile(Q(outside))).isValid());
  EXPECT_FALSE(viewer->loadResource(QTextDocument::HtmlResource, QUrl("chm:/missing.html")).isValid());

  // A relative link leads to the other page of the book.
  emit viewer->anchorClicked(QUrl("en-US.html"));
  EXPECT_EQ(viewer->CurrentTopic(), "en-US.html");
  EXPECT_TRUE(viewer->toPlainText().contains("English page"));

  TChmBook book;
  ASSERT_TRUE(book.Open(TProgramHelp::HelpFilePath()));
  QByteArray data;
  EXPECT_TRUE(book.ReadObject("/pic.png", data));
  EXPECT_EQ(data, QByteArray::fromStdString(pngBytes));
  EXPECT_FALSE(book.ReadObject("nothing.html", data));
  EXPECT_TRUE(data.isEmpty());
}

TEST_F(HelpTest, FirstLaunchOpensTheHelpOnceAndIsWrittenEvenWithoutBook) {
  const std::string key = OptionsKey;
  struct TCase {
    const char* Name;
    bool KeyExists;
    bool BookPresent;
    bool HelpOpened;
    bool Written;
  } cases[] = {
      {"first start", true, true, true, true},
      {"first start without book", true, false, false, true},
      {"no options key", false, true, false, false},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    TempDir dir;
    const std::string file = dir.File("settings.conf");
    if (c.KeyExists) {
      TSettingsFile settings(file);
      ASSERT_TRUE(settings.OpenKey(key, true));
      settings.CloseKey();
    }
    if (!c.BookPresent) TProgramHelp::SetProgramFile(Q(dir.File("vorelle")));
    {
      TSettingsFile settings(file);
      TFirstLaunch::OpenHelpOnFirstLaunch(settings, key);
    }
    EXPECT_EQ(TProgramHelp::Viewer() != nullptr, c.HelpOpened);
    int32_t value = -1;
    EXPECT_EQ(UiTest::ReadInt(file, "FirstLaunch", value), c.Written);
    if (c.Written) {
      EXPECT_EQ(value, 0);
    }
    delete TProgramHelp::Viewer();

    // The next start shows nothing.
    TSettingsFile settings(file);
    TFirstLaunch::OpenHelpOnFirstLaunch(settings, key);
    EXPECT_EQ(TProgramHelp::Viewer(), nullptr);
    TProgramHelp::SetProgramFile(UiTest::AppBuildDir() + "/vorelle");
  }
}

TEST(FormPositionTest, PositionIsStoredAndRestored) {
  UiTest::App();
  TempDir dir;
  const std::string file = dir.File("settings.conf");
  {
    QWidget form;
    form.setObjectName("MainForm");
    form.resize(424, 148);
    form.move(100, 200);
    TSettingsFile settings(file);
    TFormPosition::Save(settings, OptionsKey, form);
  }
  int32_t left = 0, top = 0;
  ASSERT_TRUE(UiTest::ReadInt(file, "MainForm.Left", left));
  ASSERT_TRUE(UiTest::ReadInt(file, "MainForm.Top", top));
  EXPECT_EQ(left, 100);
  EXPECT_EQ(top, 200);

  QWidget form;
  form.setObjectName("MainForm");
  form.resize(424, 148);
  TSettingsFile settings(file);
  TFormPosition::Load(settings, OptionsKey, form);
  EXPECT_EQ(form.pos(), QPoint(100, 200));

  // Another window's values, a wrong type and a lone edge.
  TSettingsFile edit(file);
  ASSERT_TRUE(edit.OpenKey(OptionsKey, true));
  edit.WriteString("MainForm.Top", "high");
  edit.WriteInteger("MainForm.Left", 30);
  edit.CloseKey();
  form.move(5, 6);
  TSettingsFile again(file);
  TFormPosition::Load(again, OptionsKey, form);
  EXPECT_EQ(form.pos(), QPoint(30, 6));

  QWidget other;
  other.setObjectName("OtherForm");
  other.move(7, 8);
  TFormPosition::Load(again, OptionsKey, other);
  EXPECT_EQ(other.pos(), QPoint(7, 8));
}

TEST(FormPositionTest, WindowWhollyOffTheScreensComesBackToTheNearest) {
  const QVector<QRect> two = {QRect(0, 0, 1920, 1080), QRect(1920, 0, 1280, 1024)};
  struct TCase {
    QRect Frame;
    QPoint Expected;
  } cases[] = {
      {QRect(100, 200, 424, 148), QPoint(100, 200)},      // on the first screen
      {QRect(-400, 50, 424, 148), QPoint(-400, 50)},      // partly visible: left as it is
      {QRect(3300, 500, 424, 148), QPoint(2776, 500)},    // right of the second screen
      {QRect(2000, 1500, 424, 148), QPoint(2000, 876)},   // below the second screen
      {QRect(-3000, -3000, 424, 148), QPoint(0, 0)},      // far up left
      {QRect(500, 1100, 424, 148), QPoint(500, 932)},     // just below the first screen
      {QRect(-5000, 100, 5000, 148), QPoint(0, 100)},     // ends just left of the screens
  };
  for (const TCase& c : cases)
    EXPECT_EQ(TFormPosition::ReachablePosition(c.Frame, two), c.Expected) << c.Frame.x() << "," << c.Frame.y();
  EXPECT_EQ(TFormPosition::ReachablePosition(QRect(-999, -999, 10, 10), {}), QPoint(-999, -999));
  // A window larger than the screen keeps its top-left corner on it.
  EXPECT_EQ(TFormPosition::ReachablePosition(QRect(5000, 5000, 3000, 2000), {QRect(0, 0, 800, 600)}), QPoint(0, 0));

  UiTest::App();
  TempDir dir;
  const std::string file = dir.File("settings.conf");
  {
    TSettingsFile settings(file);
    ASSERT_TRUE(settings.OpenKey(OptionsKey, true));
    settings.WriteInteger("MainForm.Left", -20000);
    settings.WriteInteger("MainForm.Top", 30000);
    settings.CloseKey();
  }
  QWidget form;
  form.setObjectName("MainForm");
  form.resize(424, 148);
  TSettingsFile settings(file);
  TFormPosition::Load(settings, OptionsKey, form);
  QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
  EXPECT_EQ(form.pos(), QPoint(screen.left(), screen.bottom() + 1 - 148));
}

class HintTest : public ::testing::Test {
protected:
  void SetUp() override {
    UiTest::App();
    TProgramHint::Install();
    Window = std::make_unique<QWidget>();
    Window->setObjectName("HintWindow");
    Window->resize(300, 200);
    Label = new QLabel("Hover me", Window.get());
    Label->setGeometry(10, 10, 100, 20);
    Window->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(Window.get()));
  }
  void TearDown() override { TProgramHint::Instance()->HideHint(); }
  void Hover() {
    QHelpEvent event(QEvent::ToolTip, QPoint(5, 5), Label->mapToGlobal(QPoint(5, 5)));
    QApplication::sendEvent(Label, &event);
  }
  std::unique_ptr<QWidget> Window;
  QLabel* Label = nullptr;
};

TEST_F(HintTest, HintWindowSizeFontWrapAndPlacementOfText) {
  TProgramHint* hint = TProgramHint::Instance();
  ASSERT_NE(hint, nullptr);
  EXPECT_EQ(hint->font().pointSize(), 10);
  const QString longText =
      "Check this option to tell the program that you want to create a log file with last use information";
  for (const QString& text : {QStringLiteral("Short"), longText}) {
    Label->setToolTip(text);
    Hover();
    ASSERT_TRUE(hint->isVisible());
    EXPECT_FALSE(QToolTip::isVisible());
    EXPECT_EQ(hint->Hint(), text);
    QRect textRect = hint->CalcHintRect(text);
    EXPECT_LE(textRect.width(), 300);
    EXPECT_EQ(hint->size(), textRect.size() + QSize(20, 20));
    if (text == longText) {
      EXPECT_GE(textRect.height(), 2 * hint->fontMetrics().height());
    }
    EXPECT_EQ(hint->HideTimer().interval(), 5000);
    EXPECT_TRUE(hint->HideTimer().isActive());

    // The text starts 10 pixels from the left and top edges.
    QImage image = hint->grab().toImage();
    QRgb background = image.pixel(0, 0);
    int firstX = image.width(), firstY = image.height();
    for (int y = 0; y < image.height(); ++y)
      for (int x = 0; x < image.width(); ++x)
        if (image.pixel(x, y) != background) firstX = std::min(firstX, x), firstY = std::min(firstY, y);
    EXPECT_GE(firstX, 10);
    EXPECT_LE(firstX, 13);
    EXPECT_GE(firstY, 10);
    EXPECT_LE(firstY, 10 + hint->fontMetrics().height() / 2);
  }
  // Leaving the control hides its hint.
  QEvent leave(QEvent::Leave);
  QApplication::sendEvent(Label, &leave);
  EXPECT_FALSE(hint->isVisible());
}

TEST_F(HintTest, HintsFollowTheWindowsSettingAndHideAfterFiveSeconds) {
  TProgramHint* hint = TProgramHint::Instance();
  Label->setToolTip("Some hint");
  TProgramHint::SetShowHints(*Window, false);
  Hover();
  EXPECT_FALSE(hint->isVisible());
  EXPECT_FALSE(QToolTip::isVisible());
  TProgramHint::SetShowHints(*Window, true);
  Hover();
  ASSERT_TRUE(hint->isVisible());
  // Switching hints off hides the hint that is up.
  TProgramHint::SetShowHints(*Window, false);
  EXPECT_FALSE(hint->isVisible());
  TProgramHint::SetShowHints(*Window, true);

  Hover();
  QTest::qWait(3500);
  EXPECT_TRUE(hint->isVisible());
  QTRY_VERIFY_WITH_TIMEOUT(!hint->isVisible(), 4000);
}

TEST(StyleManagerTest, StylesByNameWithTheDarkStyle) {
  UiTest::App();
  QStringList names = TStyleManager::StyleNames();
  for (const char* name : {"Windows", "Fusion", "Fusion Dark"}) EXPECT_TRUE(names.contains(name)) << name;
  QStringList sorted = names;
  sorted.sort(Qt::CaseInsensitive);
  EXPECT_EQ(names, sorted);

  TStyleManager::SetStyle("Fusion Dark");
  EXPECT_EQ(TStyleManager::ActiveStyleName(), "Fusion Dark");
  EXPECT_EQ(QApplication::style()->name().toLower(), "fusion");
  EXPECT_LT(QApplication::palette().color(QPalette::Window).lightness(), 80);
  EXPECT_GT(QApplication::palette().color(QPalette::WindowText).lightness(), 180);

  TStyleManager::SetStyle("windows");
  EXPECT_EQ(TStyleManager::ActiveStyleName(), "Windows");
  EXPECT_GT(QApplication::palette().color(QPalette::Window).lightness(), 150);

  try {
    TStyleManager::SetStyle("Aqua Glass");
    FAIL() << "no error";
  } catch (const EStyleNotFound& e) {
    EXPECT_STREQ(e.what(), "Style 'Aqua Glass' not found");
  }
  EXPECT_EQ(TStyleManager::ActiveStyleName(), "Windows");
  EXPECT_FALSE(TStyleManager::IsStyleAvailable("Aqua Glass"));
  EXPECT_TRUE(TStyleManager::IsStyleAvailable("fusion dark"));
}
