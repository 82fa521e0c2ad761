// The catalog the build lays next to the program: every text of every
// window, of the message dialog and of the run log has an approved
// translation in every shipped language, and the windows and the log speak
// that language when it is chosen.
#include <gtest/gtest.h>

#include <QDir>
#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <filesystem>

#include "FormTranslator.h"
#include "LocalizationModule.h"
#include "MainForm.h"
#include "OptionsForm.h"
#include "OptionsStore.h"
#include "Settings.h"
#include "TestSupport.h"
#include "TranslationCatalog.h"
#include "UiTestSupport.h"

namespace fs = std::filesystem;
using namespace Vorelle;

namespace {

QString CatalogFile() { return UiTest::AppBuildDir() + QStringLiteral("/I18n/vorelle.i18n"); }

// The languages shipped: one PO file each beside the program's sources.
QStringList ShippedLanguages() {
  QStringList languages;
  QDir dir(QString::fromStdString((TestSupport::SourceDir() / "app" / "I18n").string()));
  for (const QString& file : dir.entryList({QStringLiteral("*.po")}, QDir::Files, QDir::Name))
    languages << file.chopped(3);
  return languages;
}

class Translations : public ::testing::Test {
protected:
  TestSupport::TempDir Dir;
  std::unique_ptr<TSettingsFile> Settings;
  std::unique_ptr<TOptions> Options;

  void SetUp() override {
    UiTest::App();
    TestSupport::InitCore();
    ::setenv("XDG_CONFIG_HOME", (Dir.Path() / "config").c_str(), 1);
    fs::create_directories(Dir.Path() / "out");
    Settings = std::make_unique<TSettingsFile>(UserSettingsPath());
    Options = std::make_unique<TOptions>(*Settings, (Dir.Path() / "out").string());
    Options->SetOutputDir((Dir.Path() / "out").string());
    Options->SetOpenOutDir(false);
    Options->SetLaunchLog(false);
    for (TFormatEntry& e : Options->ImgFormats()) e.Flag = e.Ext == "bmp" ? 1 : 0;
  }

  void UseLanguage(const char* Locale) {
    Options->SetLanguage(Locale);
    Options->Save(*Settings);
  }
};

}  // namespace

TEST_F(Translations, EveryTextOfEveryWindowIsTranslatedInEveryShippedLanguage) {
  ASSERT_TRUE(QFile::exists(CatalogFile())) << CatalogFile().toStdString();
  const QStringList languages = ShippedLanguages();
  ASSERT_GE(languages.size(), 8);
  for (const char* required : {"de-DE", "fr-FR", "es-ES", "pt-BR", "ja-JP", "zh-CN", "ar-SA"})
    EXPECT_TRUE(languages.contains(QString::fromLatin1(required))) << required;

  I18n::TTranslationCatalog catalog;
  catalog.LoadFromFile(CatalogFile());
  I18n::TLocalizationModule module(nullptr, QStringLiteral("/nonexistent/none.i18n"));
  TMainForm mainForm(*Options);
  TOptionsForm optionsForm(*Options, &mainForm, Settings.get());
  for (const char* literal : TOptionsForm::Literals()) optionsForm.Translator->GetText(QString::fromUtf8(literal));
  int checked = 0;
  for (I18n::TTranslator* translator : {module.Translator(), mainForm.Translator(), optionsForm.Translator}) {
    const I18n::TTextDomain* domain = catalog.TextDomains().Find(translator->DomainName());
    ASSERT_TRUE(domain) << translator->DomainName().toStdString();
    auto check = [&](const I18n::TTextDictionary& Dictionary, I18n::TTextItem& Item) {
      if (Item.ID.contains(QLatin1String("ListBox.Items["))) return;  // filled at run time
      const I18n::TTextDefinition* definition = Dictionary.Find(Item.ID);
      ASSERT_TRUE(definition) << "no entry for " << translator->DomainName().toStdString() << " "
                              << Item.ID.toStdString() << " \"" << Item.OriginalValue.toStdString() << "\"";
      EXPECT_EQ(definition->Value(), Item.OriginalValue) << Item.ID.toStdString();
      for (const QString& language : languages) {
        const I18n::TTextTranslation* t = definition->Translations().Find(language);
        EXPECT_TRUE(t && t->IsApproved() && !t->Value().isEmpty())
            << language.toStdString() << ": " << Item.OriginalValue.toStdString();
      }
      ++checked;
    };
    for (I18n::TTextItem& item : translator->Translatables().Properties()) check(domain->Properties(), item);
    for (I18n::TTextItem& item : translator->Translatables().Literals()) check(domain->Literals(), item);
  }
  EXPECT_GT(checked, 80);
}

TEST_F(Translations, WindowAndRunLogSpeakTheChosenLanguage) {
  UseLanguage("de-DE");
  I18n::TLocalizationModule module(nullptr, CatalogFile());
  TMainForm form(*Options);
  EXPECT_EQ(form.CloseButton->text(), QString::fromUtf8("Schließen"));
  EXPECT_EQ(form.ImageProgressLabel->text(), QString::fromUtf8("Fortschritt Bilder"));
  EXPECT_EQ(form.TranslateLiteral(QString::fromUtf8(TMainForm::TextConfirmClose)),
            QString::fromUtf8("Möchten Sie die laufende Konvertierung abbrechen und das Programm schließen?"));

  fs::path input = Dir.Path() / "in" / "bild.bmp";
  fs::create_directories(input.parent_path());
  Imaging::TImageData image = TestSupport::RandomImage(4, 4, Imaging::fmtR8G8B8, 3);
  ASSERT_TRUE(Imaging::WriteImageFile(input.string(), image));
  Imaging::ReleaseImage(image);
  form.HandleDroppedFiles({QString::fromStdString(input.string())});
  while (form.ConversionRunning()) QTest::qWait(5);
  const std::vector<std::string>& log = form.LastLog();
  ASSERT_GE(log.size(), 6u);
  EXPECT_EQ(log[1], "Vorelle-Protokoll der letzten Verwendung");
  EXPECT_EQ(log[4], "Bilddatei wird verarbeitet: \"bild.bmp\"");
  EXPECT_EQ(log[5], "Konvertiere \"bild.bmp\" nach \"bild.bmp\"");
  EXPECT_EQ(log.back(), "Ende der Aufgabe. \"1\" Bilddateien konvertiert.");
  // The folder and the log take their translated names.
  EXPECT_TRUE(fs::exists(Dir.Path() / "out" / "Konvertierte Bilder" / "bild.bmp" / "bild.bmp"));
  EXPECT_TRUE(fs::exists(Dir.Path() / "out" / "Konvertierte Bilder" / "Vorelle.log"));

  // Arabic mirrors the window: the Close button moves to the left edge.
  module.Localizer()->SetCultureName(QStringLiteral("ar-SA"));
  EXPECT_EQ(form.layoutDirection(), Qt::RightToLeft);
  EXPECT_EQ(form.CloseButton->geometry().left(), 424 - 406);
  module.Localizer()->SetCultureName(QStringLiteral("en-US"));
  EXPECT_EQ(form.layoutDirection(), Qt::LeftToRight);
  EXPECT_EQ(form.CloseButton->geometry(), QRect(331, 110, 75, 25));
  EXPECT_EQ(form.CloseButton->text(), QStringLiteral("Close"));
}
