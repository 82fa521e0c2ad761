// vorelle-screenshots OUTDIR [CATALOG]: pictures of the program's windows in
// English and in a right-to-left language, one PNG per window and page, for
// checking that no text is clipped or overlapped. Run it on a display of its
// own (scripts/screenshots.sh uses Xvfb). Without CATALOG a small catalog
// with Arabic captions of the options dialog is written to OUTDIR and used.
//
// A window is added to the pictures by one entry of Shots() below.
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QTabWidget>
#include <QTest>
#include <cstdio>
#include <functional>
#include <memory>

#include "FormTranslator.h"
#include "Imaging.h"
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
      {"options-behaviour", [](TOptions& o) { return OptionsPage(o, 0); }},
      {"options-formats", [](TOptions& o) { return OptionsPage(o, 1); }},
      {"options-interface", [](TOptions& o) { return OptionsPage(o, 2); }},
      {"hint", [](TOptions&) { return Hint(); }},
  };
}

// The languages pictured: the designed English and a right-to-left one.
const char* const Languages[] = {"en-US", "ar-SA"};

// Arabic captions of the options dialog, for pictures taken before a
// translated catalog is shipped.
QByteArray SampleCatalog() {
  const std::pair<const char*, const char*> captions[] = {
      {".Caption", "Vorelle - الخيارات"},
      {"BehaviourTab.Caption", "السلوك"},
      {"FormatsTab.Caption", "الصيغ"},
      {"InterfaceTab.Caption", "الواجهة"},
      {"OutputDirLabel.Caption", "مجلد الإخراج"},
      {"CloseAtEndCheckBox.Caption", "إغلاق البرنامج عند انتهاء التحويل"},
      {"OpenOutdirCheckBox.Caption", "فتح مجلد الإخراج عند انتهاء التحويل"},
      {"CreateLogCheckBox.Caption", "إنشاء ملف سجل بمعلومات التحويل"},
      {"LaunchLogCheckBox.Caption", "فتح ملف السجل عند انتهاء التحويل"},
      {"OutputFormatsLabel.Caption", "صيغ الإخراج"},
      {"LanguageLabel.Caption", "اللغة"},
      {"AppThemeLabel.Caption", "السمة"},
      {"ShowHintsCheckBox.Caption", "إظهار تلميحات البرنامج في بعض عناصر الواجهة"},
      {"HelpButton.Caption", "تعليمات"},
      {"CancelButton.Caption", "إلغاء"},
      {"SaveButton.Caption", "حفظ"},
      {"SelectAllItem.Caption", "تحديد الكل"},
      {"SelectNoneItem.Caption", "إلغاء تحديد الكل"},
  };
  QByteArray xml = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<i18nCatalog Locale=\"en\">\n<Domain Name=\"OptionsForm\">\n";
  for (auto& [id, text] : captions) {
    xml += QByteArray("<Property ID=\"") + id + "\"><Translation Locale=\"ar-SA\">" + text + "</Translation>";
    // English is a language of the catalog too, so the language list shows it.
    if (QByteArray(id) == ".Caption") xml += "<Translation Locale=\"en-US\">Vorelle - Options</Translation>";
    xml += "</Property>\n";
  }
  xml += "</Domain>\n</i18nCatalog>\n";
  return xml;
}

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QApplication::setApplicationName("Vorelle");
  if (argc < 2) {
    std::fprintf(stderr, "usage: vorelle-screenshots OUTDIR [CATALOG]\n");
    return 2;
  }
  const QDir out(QString::fromLocal8Bit(argv[1]));
  QDir().mkpath(out.path());
  QString catalog = argc > 2 ? QString::fromLocal8Bit(argv[2]) : out.filePath("sample-catalog.i18n");
  if (argc <= 2) {
    QFile file(catalog);
    if (!file.open(QIODevice::WriteOnly) || file.write(SampleCatalog()) < 0) {
      std::fprintf(stderr, "vorelle-screenshots: cannot write %s\n", qPrintable(catalog));
      return 1;
    }
  }

  Imaging::InitImaging();
  TProgramHint::Install();
  I18n::TLocalizationModule module(nullptr, catalog);
  TSettingsFile settings(out.filePath("settings.conf").toStdString());
  TOptions options(settings);
  TStyleManager::SetStyle(QString::fromStdString(options.AppStyle()));

  int written = 0;
  for (const char* language : Languages) {
    module.Localizer()->SetCulture(I18n::TCultureTable::Find(language));
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
    }
  }
  module.Localizer()->SetCulture(nullptr);
  return written ? 0 : 1;
}
