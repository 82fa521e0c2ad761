// vorelle-screenshots OUTDIR CATALOG: pictures of the program's windows in
// every language of the catalog, one PNG per window, page and language, for
// checking that no text is clipped or overlapped: the main window idle and
// during a run, the options dialog's three pages. Run it on a display of its
// own (scripts/screenshots.sh uses Xvfb).
//
// A window is added to the pictures by one entry of Shots() below.
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QElapsedTimer>
#include <QProgressBar>
#include <QPushButton>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTest>
#include <cstdio>
#include <functional>
#include <memory>

#include "FormTranslator.h"
#include "Imaging.h"
#include "MainForm.h"
#include "LocalizationModule.h"
#include "Localizer.h"
#include "OptionsForm.h"
#include "OptionsStore.h"
#include "ProgramHint.h"
#include "Settings.h"
#include "StyleManager.h"

using namespace Vorelle;

namespace {

// One picture: File (without language and extension) and the window it
// shows, made ready by Make; the window is destroyed after the picture.
struct TShot {
  QString File;
  std::function<std::unique_ptr<QWidget>(TOptions& Options)> Make;
};

std::unique_ptr<QWidget> OptionsPage(TOptions& Options, int Page) {
  auto form = std::make_unique<TOptionsForm>(Options);
  form->OptionsPageControl->setCurrentIndex(Page);
  return form;
}

// The main window in the middle of a run: a large picture converted to
// every format, caught once both bars have moved.
std::unique_ptr<QWidget> MainFormRunning(TOptions& Options, const QString& Input) {
  auto form = std::make_unique<TMainForm>(Options);
  form->show();
  form->HandleDroppedFiles({Input, Input, Input});
  QElapsedTimer waited;
  waited.start();
  while (form->FormatsProgressBar->value() < 3 && waited.elapsed() < 20000) QTest::qWait(10);
  return form;
}

QString LargeInput;

// The tooltip window with the longest hint of the options dialog.
std::unique_ptr<QWidget> Hint() {
  auto hint = std::make_unique<TProgramHint>();
  const QString text =
      "Check this option to tell the program that close itself after the images conversion finish";
  QRect rect = hint->CalcHintRect(text);
  rect.moveTopLeft({100, 100});
  hint->ActivateHint(rect, text);
  return hint;
}

std::vector<TShot> Shots() {
  return {
      {"main", [](TOptions& o) { return std::make_unique<TMainForm>(o); }},
      {"main-running", [](TOptions& o) { return MainFormRunning(o, LargeInput); }},
      {"options-behaviour", [](TOptions& o) { return OptionsPage(o, 0); }},
      {"options-formats", [](TOptions& o) { return OptionsPage(o, 1); }},
      {"options-interface", [](TOptions& o) { return OptionsPage(o, 2); }},
      {"hint", [](TOptions&) { return Hint(); }},
  };
}

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QApplication::setApplicationName("Vorelle");
  if (argc != 3) {
    std::fprintf(stderr, "usage: vorelle-screenshots OUTDIR CATALOG\n");
    return 2;
  }
  const QDir out(QString::fromLocal8Bit(argv[1]));
  QDir().mkpath(out.path());
  QString catalog = QString::fromLocal8Bit(argv[2]);

  Imaging::InitImaging();
  // Runs write into a scratch folder of their own.
  QTemporaryDir scratch;
  LargeInput = scratch.filePath(QStringLiteral("photo.bmp"));
  {
    Imaging::TImageData image;
    Imaging::ResetImage(image);
    Imaging::CreateImage(2400, 1600, Imaging::fmtR8G8B8, image);
    Imaging::WriteImageFile(LargeInput.toStdString(), image);
    Imaging::ReleaseImage(image);
  }
  TProgramHint::Install();
  I18n::TLocalizationModule module(nullptr, catalog);
  // The windows read the language from the user's settings, which the
  // script points into OUTDIR.
  TSettingsFile settings(UserSettingsPath());
  TOptions options(settings, scratch.path().toStdString());
  options.SetOutputDir(scratch.path().toStdString());
  options.SetOpenOutDir(false);
  options.SetLaunchLog(false);
  options.Save(settings);
  TStyleManager::SetStyle(QString::fromStdString(options.AppStyle()));

  int written = 0;
  std::vector<const I18n::TCultureInfo*> languages(module.Localizer()->Cultures().begin(),
                                                   module.Localizer()->Cultures().end());
  if (languages.size() < 2) {
    std::fprintf(stderr, "vorelle-screenshots: %s holds no translations\n", qPrintable(catalog));
    return 1;
  }
  for (const I18n::TCultureInfo* culture : languages) {
    const QString language = QString::fromUtf8(culture->Locale);
    options.SetLanguage(culture->Locale);
    options.Save(settings);
    module.Localizer()->SetCulture(culture);
    for (const TShot& shot : Shots()) {
      std::unique_ptr<QWidget> window = shot.Make(options);
      window->show();
      if (!QTest::qWaitForWindowExposed(window.get())) return 1;
      QTest::qWait(100);
      const QString file = out.filePath(shot.File + "-" + language + ".png");
      if (!window->grab().save(file)) {
        std::fprintf(stderr, "vorelle-screenshots: cannot write %s\n", qPrintable(file));
        return 1;
      }
      std::printf("%s\n", qPrintable(file));
      ++written;
      // A window still converting stops before it goes.
      if (auto* form = qobject_cast<TMainForm*>(window.get())) {
        form->CancelButton->click();
        form->InformHandler = [](const QString&) {};
        while (form->ConversionRunning()) QTest::qWait(10);
      }
    }
  }
  module.Localizer()->SetCulture(nullptr);
  return written ? 0 : 1;
}
