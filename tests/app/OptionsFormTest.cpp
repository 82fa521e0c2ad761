// The options dialog driven as a user drives it: clicks, keys, the context
// menu, message boxes and the folder browser; what Save stores and what
// Cancel keeps; the style applied at once; help on F1 and Help.
#include <gtest/gtest.h>

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QPushButton>
#include <QStyle>
#include <QTabBar>
#include <QTabWidget>
#include <QTimer>
#include <filesystem>
#include <fstream>
#include <functional>

#include "CultureBox.h"
#include "FormTranslator.h"
#include "HelpViewer.h"
#include "LocalizationModule.h"
#include "Localizer.h"
#include "OptionsForm.h"
#include "OptionsStore.h"
#include "OutputFormats.h"
#include "ProgramHelp.h"
#include "ProgramHint.h"
#include "StyleManager.h"
#include "TestSupport.h"
#include "UiTestSupport.h"

using namespace Vorelle;
using TestSupport::TempDir;

namespace {

// Runs Handle on the next modal window other than the dialog, from the
// event loop, as a user answering it would.
void OnNextModal(std::function<void(QWidget*)> Handle) {
  auto* timer = new QTimer;
  timer->setInterval(10);
  QObject::connect(timer, &QTimer::timeout, [timer, Handle] {
    if (QWidget* modal = QApplication::activeModalWidget()) {
      timer->stop();
      timer->deleteLater();
      Handle(modal);
    }
  });
  timer->start();
}

// The texts a message window shows, and a click on its button.
QString MessageText(QWidget* Box) {
  QString text;
  for (QLabel* label : Box->findChildren<QLabel*>()) text += label->text();
  return text;
}
void ClickButton(QWidget* Box, const QString& Caption) {
  for (QPushButton* button : Box->findChildren<QPushButton*>())
    if (button->text().remove('&') == Caption) return QTest::mouseClick(button, Qt::LeftButton);
  ADD_FAILURE() << "no button " << Caption.toStdString();
}

void Click(QCheckBox* Box) { QTest::mouseClick(Box, Qt::LeftButton, {}, QPoint(6, Box->height() / 2)); }

class OptionsFormTest : public ::testing::Test {
protected:
  void SetUp() override {
    UiTest::App();
    TestSupport::InitCore();
    TProgramHint::Install();
    TProgramHelp::SetProgramFile(UiTest::AppBuildDir() + "/vorelle");
    std::filesystem::create_directories(Dir.Path() / "Desktop");
    std::filesystem::create_directories(Dir.Path() / "Out");
    TStyleManager::SetStyle("Windows");
  }
  void TearDown() override {
    delete TProgramHelp::Viewer();
    TProgramHelp::SetProgramFile({});
  }
  std::string Desktop() const { return Dir.File("Desktop"); }
  // Stores values as an earlier session would have.
  void Store(const std::function<void(TRegistry&)>& Write) {
    TSettingsFile settings(File());
    ASSERT_TRUE(settings.OpenKey(OptionsKey, true));
    Write(settings);
    settings.CloseKey();
  }
  std::string File() const { return Dir.File("settings.conf"); }
  // Opens the dialog over the stored options, shown and focused.
  std::unique_ptr<TOptionsForm> Open() {
    Registry = std::make_unique<TSettingsFile>(File());
    Options = std::make_unique<TOptions>(*Registry, Desktop());
    auto form = std::make_unique<TOptionsForm>(*Options, nullptr, Registry.get());
    form->show();
    form->activateWindow();
    EXPECT_TRUE(QTest::qWaitForWindowExposed(form.get()));
    return form;
  }
  bool Stored(const std::string& Name, int32_t& Value) const { return UiTest::ReadInt(File(), Name, Value); }
  int32_t StoredInt(const std::string& Name) const {
    int32_t v = -1;
    EXPECT_TRUE(Stored(Name, v)) << Name;
    return v;
  }
  std::string StoredString(const std::string& Name) const {
    TSettingsFile settings(File());
    if (!settings.OpenKey(OptionsKey, false) || !settings.ValueExists(Name)) return "<none>";
    return settings.ReadString(Name);
  }
  static QListWidgetItem* FormatItem(TOptionsForm& Form, const QString& Ext) {
    for (int i = 0; i < Form.FormatsCheckListBox->count(); ++i)
      if (TOptionsForm::ItemExtension(Form.FormatsCheckListBox->item(i)) == Ext) return Form.FormatsCheckListBox->item(i);
    return nullptr;
  }
  static void ShowTab(TOptionsForm& Form, int Index) {
    QTabBar* bar = Form.OptionsPageControl->tabBar();
    QTest::mouseClick(bar, Qt::LeftButton, {}, bar->tabRect(Index).center());
    ASSERT_EQ(Form.OptionsPageControl->currentIndex(), Index);
  }
  // Right-clicks the format list and picks an entry of its menu.
  static void UseOutputMenu(TOptionsForm& Form, QAction* Entry) {
    QWidget* viewport = Form.FormatsCheckListBox->viewport();
    QPoint at(40, 40);
    QContextMenuEvent event(QContextMenuEvent::Mouse, at, viewport->mapToGlobal(at));
    QApplication::sendEvent(viewport, &event);
    ASSERT_TRUE(Form.OutputMenu->isVisible());
    QTest::mouseClick(Form.OutputMenu, Qt::LeftButton, {}, Form.OutputMenu->actionGeometry(Entry).center());
    EXPECT_FALSE(Form.OutputMenu->isVisible());
  }

  TempDir Dir;
  std::unique_ptr<TSettingsFile> Registry;
  std::unique_ptr<TOptions> Options;
};

}  // namespace

TEST_F(OptionsFormTest, WindowDescription) {
  auto form = Open();
  EXPECT_EQ(form->windowTitle(), "Vorelle - Options");
  EXPECT_EQ(form->size(), QSize(361, 400));
  EXPECT_EQ(form->font().pixelSize(), 12);
  struct TPlace {
    QWidget* Widget;
    QRect Bounds;  // width 0: sized to its text
    const char* Text;
  } places[] = {
      {form->OptionsPageControl, {8, 8, 348, 356}, ""},
      {form->OutputDirLabel, {16, 14, 0, 0}, "Output directory"},
      {form->OutputDirEdit, {16, 33, 260, 22}, nullptr},
      {form->SelectOutputDirButton, {282, 31, 35, 25}, "..."},
      {form->CloseAtEndCheckBox, {16, 73, 0, 0}, "Close the program when conversion finish"},
      {form->OpenOutdirCheckBox, {16, 96, 0, 0}, "Open the output dir when conversion finish"},
      {form->CreateLogCheckBox, {16, 119, 0, 0}, "Create a log file with conversion information"},
      {form->LaunchLogCheckBox, {16, 142, 0, 0}, "Launch the log file when the conversion finish"},
      {form->OutputFormatsLabel, {16, 14, 0, 0}, "Output formats"},
      {form->FormatsCheckListBox, {16, 33, 305, 274}, ""},
      {form->LanguageLabel, {16, 14, 0, 0}, "Language"},
      {form->CultureBox, {16, 33, 305, 22}, ""},
      {form->AppThemeLabel, {16, 73, 0, 0}, "Theme"},
      {form->AppThemesListBox, {16, 93, 305, 97}, ""},
      {form->ShowHintsCheckBox, {16, 206, 0, 0}, "Show program hints in certain interfaz controls"},
      {form->HelpButton, {8, 370, 75, 25}, "Help"},
      {form->CancelButton, {197, 370, 75, 25}, "Cancel"},
      {form->SaveButton, {278, 370, 75, 25}, "Save"},
  };
  for (const TPlace& p : places) {
    SCOPED_TRACE(p.Widget->objectName().toStdString());
    QRect bounds = p.Widget->geometry();
    EXPECT_EQ(bounds.topLeft(), p.Bounds.topLeft());
    if (p.Bounds.width()) {
      EXPECT_EQ(bounds.size(), p.Bounds.size());
    }
    if (p.Text) {
      EXPECT_EQ(p.Widget->property("text").toString(), p.Text);
    }
    EXPECT_FALSE(p.Widget->toolTip().isEmpty() && p.Widget != form->OptionsPageControl);
    // Nothing is clipped: sized to its text, inside its tab.
    if (!p.Bounds.width()) {
      EXPECT_GE(bounds.width(), p.Widget->sizeHint().width());
      EXPECT_LE(bounds.right(), p.Widget->parentWidget()->width());
    }
  }
  EXPECT_EQ(form->CreateLogCheckBox->toolTip(),
            "Check this option to tell the program that you want to create a log file with last use information");
  EXPECT_EQ(form->FormatsCheckListBox->toolTip(), form->OutputFormatsLabel->toolTip());
  QTabWidget* tabs = form->OptionsPageControl;
  ASSERT_EQ(tabs->count(), 3);
  EXPECT_EQ(tabs->tabText(0), "Behaviour");
  EXPECT_EQ(tabs->tabText(1), "Formats");
  EXPECT_EQ(tabs->tabText(2), "Interface");
  EXPECT_EQ(tabs->tabToolTip(1), "This tab allow you to edit the currently selected output formats");
  EXPECT_EQ(tabs->currentIndex(), 0);
  // Every page has the place the tabs give the shown one.
  EXPECT_EQ(form->FormatsTab->size(), form->BehaviourTab->size());
  EXPECT_EQ(form->InterfaceTab->size(), form->BehaviourTab->size());
  ShowTab(*form, 2);
  EXPECT_EQ(form->InterfaceTab->size(), form->BehaviourTab->size());
  EXPECT_EQ(form->SelectAllItem->text(), "Select all");
  EXPECT_EQ(form->SelectNoneItem->text(), "Select none");
  EXPECT_TRUE(form->CancelButton->isDefault());
}

TEST_F(OptionsFormTest, FormatsSortedBoundToTheirFormatAndBitmapUncheckedIsStored) {
  auto form = Open();
  const char* expected[] = {
      "Daggerfall Image (img)", "Daggerfall MultiImage (cif)", "DirectDraw Surface (dds)",
      "Graphics Interchange Format (gif)", "Joint Photographic Experts Group Image (jpg)", "JPEG 2000 Image (jp2)",
      "JPEG Network Graphics (jng)", "Multiple Network Graphics (mng)", "Photoshop Image (psd)",
      "Portable Arbitrary Map (pam)", "Portable Float Map (pfm)", "Portable Gray Map (pgm)",
      "Portable Network Graphics (png)", "Portable Pixel Map (ppm)", "Tagged Image File Format (tif)",
      "Truevision Targa Image (tga)", "Windows Bitmap Image (bmp)", "X Window Pixmap (xpm)"};
  // The formats the registry offers, in this order.
  std::vector<std::string> offered;
  TImagingUtils::GetOutputFormatsNames(offered);
  QStringList order;
  for (const char* name : expected)
    if (std::find(offered.begin(), offered.end(), name) != offered.end()) order << name;
  QListWidget* list = form->FormatsCheckListBox;
  ASSERT_EQ(list->count(), int(offered.size()));
  ASSERT_EQ(order.size(), list->count());
  for (int i = 0; i < list->count(); ++i) {
    QListWidgetItem* item = list->item(i);
    EXPECT_EQ(item->text(), order[i]);
    EXPECT_TRUE(item->text().endsWith("(" + TOptionsForm::ItemExtension(item) + ")"));
    EXPECT_EQ(item->checkState(), Qt::Checked);
  }

  ShowTab(*form, 1);
  QListWidgetItem* bitmap = FormatItem(*form, "bmp");
  list->scrollToItem(bitmap);
  QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->visualItemRect(bitmap).center());
  QTest::keyClick(list, Qt::Key_Space);
  ASSERT_EQ(bitmap->checkState(), Qt::Unchecked);
  QTest::mouseClick(form->SaveButton, Qt::LeftButton);
  EXPECT_EQ(form->result(), QDialog::Accepted);

  for (const TFormatEntry& entry : Options->ImgFormats()) {
    EXPECT_EQ(StoredInt("Format." + entry.Ext), entry.Ext == "bmp" ? 0 : 1) << entry.Ext;
    EXPECT_EQ(entry.Flag, entry.Ext == "bmp" ? 0 : 1) << entry.Ext;
  }
  auto again = Open();
  for (int i = 0; i < again->FormatsCheckListBox->count(); ++i) {
    QListWidgetItem* item = again->FormatsCheckListBox->item(i);
    EXPECT_EQ(item->checkState() == Qt::Checked, TOptionsForm::ItemExtension(item) != "bmp") << item->text().toStdString();
  }
}

TEST_F(OptionsFormTest, LogBoxesFollowTheirRulesFromTheStoredState) {
  struct TCase {
    bool CreateLog, LaunchLog, OpenOutDir;
    bool CreateChecked, LaunchChecked, LaunchEnabled;
  } cases[] = {
      {false, true, true, true, true, true},      // launching a log creates it
      {false, true, false, true, true, true},
      {false, false, true, false, false, false},  // no log: nothing to launch
      {false, false, false, false, false, false},
      {true, false, true, true, false, true},
      {true, true, false, true, true, true},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(testing::Message() << c.CreateLog << c.LaunchLog << c.OpenOutDir);
    Store([&](TRegistry& r) {
      r.WriteBool("CreateLog", c.CreateLog);
      r.WriteBool("LaunchLog", c.LaunchLog);
      r.WriteBool("OpenOutDir", c.OpenOutDir);
    });
    auto form = Open();
    EXPECT_EQ(form->CreateLogCheckBox->isChecked(), c.CreateChecked);
    EXPECT_EQ(form->LaunchLogCheckBox->isChecked(), c.LaunchChecked);
    EXPECT_EQ(form->LaunchLogCheckBox->isEnabled(), c.LaunchEnabled);
    EXPECT_EQ(form->OpenOutdirCheckBox->isChecked(), c.OpenOutDir);
    QTest::mouseClick(form->SaveButton, Qt::LeftButton);
    EXPECT_EQ(StoredInt("CreateLog"), c.CreateChecked);
    EXPECT_EQ(StoredInt("LaunchLog"), c.LaunchChecked);
    EXPECT_EQ(StoredInt("OpenOutDir"), c.OpenOutDir);
  }
}

TEST_F(OptionsFormTest, ClicksOnTheBehaviourBoxes) {
  auto form = Open();
  ASSERT_TRUE(form->CreateLogCheckBox->isChecked());
  ASSERT_FALSE(form->LaunchLogCheckBox->isChecked());
  Click(form->LaunchLogCheckBox);
  EXPECT_TRUE(form->LaunchLogCheckBox->isChecked());
  Click(form->CreateLogCheckBox);  // no log: the launch box is cleared and locked
  EXPECT_FALSE(form->CreateLogCheckBox->isChecked());
  EXPECT_FALSE(form->LaunchLogCheckBox->isChecked());
  EXPECT_FALSE(form->LaunchLogCheckBox->isEnabled());
  Click(form->LaunchLogCheckBox);  // disabled: nothing happens
  EXPECT_FALSE(form->LaunchLogCheckBox->isChecked());
  Click(form->OpenOutdirCheckBox);  // unchecking the folder box runs the same rule
  EXPECT_FALSE(form->LaunchLogCheckBox->isEnabled());
  // The launch box set while the log is off checks both.
  form->LaunchLogCheckBox->setChecked(true);
  EXPECT_TRUE(form->CreateLogCheckBox->isChecked());
  EXPECT_TRUE(form->LaunchLogCheckBox->isEnabled());
  Click(form->CloseAtEndCheckBox);
  QTest::mouseClick(form->SaveButton, Qt::LeftButton);
  EXPECT_EQ(StoredInt("OpenOutDir"), 0);
  EXPECT_EQ(StoredInt("CloseAtEnd"), 1);
  EXPECT_EQ(StoredInt("CreateLog"), 1);
  EXPECT_EQ(StoredInt("LaunchLog"), 1);
  EXPECT_FALSE(Options->OpenOutDir());
  EXPECT_TRUE(Options->CloseAtEnd());
  // The next run reads the saved options.
  EXPECT_FALSE(TOptions(*std::make_unique<TSettingsFile>(File()), Desktop()).OpenOutDir());
}

TEST_F(OptionsFormTest, TypedOutputFolder) {
  const std::string out = Dir.File("Out");
  struct TCase {
    std::string Typed;
    std::string Stored;
  } cases[] = {
      {Dir.File("does not exist"), Desktop()},
      {"   ", Desktop()},
      {"", Desktop()},
      {out + "/", out + "/"},
      {" " + out, Desktop()},  // the folder is taken as typed, blanks included
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Typed);
    std::filesystem::remove(File());
    auto form = Open();
    EXPECT_EQ(form->OutputDirEdit->text().toStdString(), Desktop());
    form->OutputDirEdit->clear();
    QTest::keyClicks(form->OutputDirEdit, QString::fromStdString(c.Typed));
    QTest::mouseClick(form->SaveButton, Qt::LeftButton);
    EXPECT_EQ(form->result(), QDialog::Accepted);
    EXPECT_EQ(StoredString("OutputDir"), c.Stored);
    EXPECT_EQ(Options->OutputDir(), c.Stored);
  }
}

TEST_F(OptionsFormTest, NoFormatSelectedKeepsTheDialogOpenAndStoresNothing) {
  auto form = Open();
  ShowTab(*form, 1);
  UseOutputMenu(*form, form->SelectNoneItem);
  for (int i = 0; i < form->FormatsCheckListBox->count(); ++i)
    ASSERT_EQ(form->FormatsCheckListBox->item(i)->checkState(), Qt::Unchecked);
  ShowTab(*form, 0);
  QString shown;
  OnNextModal([&](QWidget* box) {
    shown = MessageText(box);
    ClickButton(box, "OK");
  });
  QTest::mouseClick(form->SaveButton, Qt::LeftButton);
  EXPECT_TRUE(shown.contains("You need to select at least one output format!")) << shown.toStdString();
  EXPECT_TRUE(form->isVisible());
  EXPECT_EQ(form->OptionsPageControl->currentWidget(), form->FormatsTab);
  EXPECT_EQ(form->focusWidget(), form->FormatsCheckListBox);
  EXPECT_EQ(StoredString("Language"), "<none>");
  int32_t v;
  EXPECT_FALSE(Stored("Format.png", v));
  for (const TFormatEntry& entry : Options->ImgFormats()) EXPECT_EQ(entry.Flag, 1);

  UseOutputMenu(*form, form->SelectAllItem);
  for (int i = 0; i < form->FormatsCheckListBox->count(); ++i)
    EXPECT_EQ(form->FormatsCheckListBox->item(i)->checkState(), Qt::Checked);
}

TEST_F(OptionsFormTest, KeysCloseAsCancelUnlessSaveHasTheFocus) {
  struct TCase {
    const char* Name;
    std::function<void(TOptionsForm&)> Press;
    QDialog::DialogCode Result;
  } cases[] = {
      {"Escape", [](TOptionsForm& f) { QTest::keyClick(&f, Qt::Key_Escape); }, QDialog::Rejected},
      {"Enter in the folder edit",
       [](TOptionsForm& f) {
         f.OutputDirEdit->setFocus();
         QTest::keyClick(f.OutputDirEdit, Qt::Key_Return);
       },
       QDialog::Rejected},
      {"Cancel button", [](TOptionsForm& f) { QTest::mouseClick(f.CancelButton, Qt::LeftButton); }, QDialog::Rejected},
      {"Enter on Save",
       [](TOptionsForm& f) {
         f.SaveButton->setFocus();
         QTest::keyClick(f.SaveButton, Qt::Key_Return);
       },
       QDialog::Accepted},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    std::filesystem::remove(File());
    auto form = Open();
    Click(form->CloseAtEndCheckBox);
    c.Press(*form);
    EXPECT_FALSE(form->isVisible());
    EXPECT_EQ(form->result(), c.Result);
    EXPECT_EQ(StoredString("AppStyle"), c.Result == QDialog::Accepted ? "Windows" : "<none>");
    EXPECT_EQ(Options->CloseAtEnd(), c.Result == QDialog::Accepted);
  }
}

TEST_F(OptionsFormTest, StyleAppliesAtOnceAndStaysAfterCancel) {
  auto form = Open();
  ShowTab(*form, 2);
  QListWidget* themes = form->AppThemesListBox;
  ASSERT_EQ(themes->currentItem()->text(), "Windows");
  QStringList names;
  for (int i = 0; i < themes->count(); ++i) names << themes->item(i)->text();
  EXPECT_EQ(names, TStyleManager::StyleNames());
  QListWidgetItem* dark = themes->findItems("Fusion Dark", Qt::MatchExactly).value(0);
  ASSERT_NE(dark, nullptr);
  QTest::mouseClick(themes->viewport(), Qt::LeftButton, {}, themes->visualItemRect(dark).center());
  EXPECT_EQ(TStyleManager::ActiveStyleName(), "Fusion Dark");
  QTRY_VERIFY(form->palette().color(QPalette::Window).lightness() < 80);
  EXPECT_EQ(Options->AppStyle(), "Fusion Dark");
  QTest::mouseClick(form->CancelButton, Qt::LeftButton);
  EXPECT_EQ(StoredString("AppStyle"), "<none>");
  EXPECT_EQ(Options->AppStyle(), "Fusion Dark");
  EXPECT_EQ(TStyleManager::ActiveStyleName(), "Fusion Dark");

  // Reopened, the dialog shows the style in use; Save stores it.
  auto again = std::make_unique<TOptionsForm>(*Options, nullptr, Registry.get());
  again->show();
  EXPECT_EQ(again->AppThemesListBox->currentItem()->text(), "Fusion Dark");
  QTest::mouseClick(again->SaveButton, Qt::LeftButton);
  EXPECT_EQ(StoredString("AppStyle"), "Fusion Dark");
  TStyleManager::SetStyle("Windows");
}

TEST_F(OptionsFormTest, HintsCheckBoxPreviewsOnTheDialog) {
  Store([](TRegistry& r) { r.WriteBool("ShowHints", false); });
  auto form = Open();
  EXPECT_FALSE(form->ShowHintsCheckBox->isChecked());
  EXPECT_FALSE(TProgramHint::ShowHints(*form->SaveButton));
  ShowTab(*form, 2);
  Click(form->ShowHintsCheckBox);
  EXPECT_TRUE(TProgramHint::ShowHints(*form->SaveButton));
  QTest::mouseClick(form->SaveButton, Qt::LeftButton);
  EXPECT_EQ(StoredInt("ShowHints"), 1);
  EXPECT_TRUE(Options->ShowHints());
}

TEST_F(OptionsFormTest, HelpOnF1AndHelpButtonWithAndWithoutTheBook) {
  for (bool book : {true, false}) {
    if (!book) TProgramHelp::SetProgramFile(QString::fromStdString(Dir.File("vorelle")));
    for (int way = 0; way < 2; ++way) {
      SCOPED_TRACE(testing::Message() << "book " << book << ", " << (way ? "Help button" : "F1"));
      auto form = Open();
      form->OutputDirEdit->setFocus();
      QString shown;
      if (!book)
        OnNextModal([&](QWidget* box) {
          shown = MessageText(box);
          ClickButton(box, "OK");
        });
      if (way)
        QTest::mouseClick(form->HelpButton, Qt::LeftButton);
      else
        QTest::keyClick(form->OutputDirEdit, Qt::Key_F1);
      if (book) {
        ASSERT_NE(TProgramHelp::Viewer(), nullptr);
        EXPECT_TRUE(TProgramHelp::Viewer()->isVisible());
        EXPECT_EQ(TProgramHelp::Viewer()->CurrentTopic(), "en-US.html");
        delete TProgramHelp::Viewer();
      } else {
        EXPECT_EQ(TProgramHelp::Viewer(), nullptr);
        EXPECT_TRUE(shown.contains("The program help file is not found! Maybe you need to reinstall the program?"))
            << shown.toStdString();
      }
      EXPECT_TRUE(form->isVisible());
    }
  }
}

TEST_F(OptionsFormTest, FolderBrowserFillsTheEditWithATrailingDelimiter) {
  auto form = Open();
  const QString out = QString::fromStdString(Dir.File("Out"));
  QString title;
  OnNextModal([&](QWidget* w) {
    auto* dialog = qobject_cast<QFileDialog*>(w);
    ASSERT_NE(dialog, nullptr);
    title = dialog->windowTitle();
    EXPECT_EQ(dialog->fileMode(), QFileDialog::Directory);
    dialog->setDirectory(out);
    dialog->selectFile(out);
    QMetaObject::invokeMethod(dialog, "accept");
  });
  QTest::mouseClick(form->SelectOutputDirButton, Qt::LeftButton);
  EXPECT_EQ(title, "Select the output directory");
  EXPECT_EQ(form->OutputDirEdit->text(), out + "/");

  // Cancelling the browser leaves the edit alone.
  OnNextModal([](QWidget* w) { qobject_cast<QDialog*>(w)->reject(); });
  QTest::mouseClick(form->SelectOutputDirButton, Qt::LeftButton);
  EXPECT_EQ(form->OutputDirEdit->text(), out + "/");
}

namespace {

// A catalog translating some of the dialog's texts into German and Arabic.
std::string DialogCatalog() {
  const QString noFormat = I18n::LiteralID("You need to select at least one output format!");
  return QString::fromUtf8(
             "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<i18nCatalog Locale=\"en\">"
             "<Domain Name=\"OptionsForm\">"
             "<Property ID=\".Caption\"><Value>Vorelle - Options</Value>"
             "<Translation Locale=\"de-DE\">Vorelle - Optionen</Translation>"
             "<Translation Locale=\"ar-SA\">\xD8\xAE\xD9\x8A\xD8\xA7\xD8\xB1\xD8\xA7\xD8\xAA</Translation></Property>"
             "<Property ID=\"BehaviourTab.Caption\"><Value>Behaviour</Value>"
             "<Translation Locale=\"de-DE\">Verhalten</Translation></Property>"
             "<Property ID=\"SaveButton.Caption\"><Value>Save</Value>"
             "<Translation Locale=\"de-DE\">Speichern</Translation></Property>"
             "<Property ID=\"OutputDirLabel.Caption\"><Value>Output directory</Value>"
             "<Translation Locale=\"de-DE\">Ausgabeordner f\xC3\xBCr alle konvertierten Bilder</Translation></Property>"
             "<Literal ID=\"%1\"><Value>You need to select at least one output format!</Value>"
             "<Translation Locale=\"de-DE\">Mindestens ein Ausgabeformat w\xC3\xA4hlen!</Translation></Literal>"
             "</Domain></i18nCatalog>")
      .arg(noFormat)
      .toStdString();
}

void ChooseCulture(TOptionsForm& Form, const char* Locale) {
  I18n::TCultureBox* box = Form.CultureBox;
  box->setFocus();
  QTest::keyClick(box, Qt::Key_Home);
  for (int i = 0; i < box->count() && std::string(box->SelectedCulture()->Locale) != Locale; ++i)
    QTest::keyClick(box, Qt::Key_Down);
  ASSERT_STREQ(box->SelectedCulture()->Locale, Locale);
}

}  // namespace

TEST_F(OptionsFormTest, LanguageAppliesAtOnceAndOnlySaveStoresIt) {
  {
    std::ofstream(Dir.File("vorelle.i18n"), std::ios::binary) << DialogCatalog();
  }
  I18n::TLocalizationModule module(nullptr, QString::fromStdString(Dir.File("vorelle.i18n")));
  I18n::TLocalizer* localizer = module.Localizer();
  localizer->SetCulture(nullptr);
  {
    auto form = Open();
    ShowTab(*form, 2);
    ChooseCulture(*form, "de-DE");
    EXPECT_EQ(form->windowTitle(), "Vorelle - Optionen");
    EXPECT_EQ(form->OptionsPageControl->tabText(0), "Verhalten");
    EXPECT_EQ(form->SaveButton->text(), "Speichern");
    EXPECT_EQ(form->CancelButton->text(), "Cancel");
    // The longer caption is not clipped.
    EXPECT_GE(form->OutputDirLabel->width(), form->OutputDirLabel->sizeHint().width());
    QTest::mouseClick(form->CancelButton, Qt::LeftButton);
  }
  EXPECT_STREQ(localizer->Culture()->Locale, "de-DE");
  // Help follows the program's language.
  EXPECT_EQ(TProgramHelp::CultureTopic(), "de-DE.html");
  ASSERT_TRUE(TProgramHelp::OpenProgramHelp());
  EXPECT_EQ(TProgramHelp::Viewer()->CurrentTopic(), "de-DE.html");
  EXPECT_EQ(StoredString("Language"), "<none>");
  EXPECT_EQ(Options->Language(), "en-US");
  {
    auto form = Open();
    EXPECT_EQ(form->SaveButton->text(), "Speichern");
    EXPECT_STREQ(form->CultureBox->SelectedCulture()->Locale, "de-DE");
    ShowTab(*form, 1);
    QString shown;
    UseOutputMenu(*form, form->SelectNoneItem);
    OnNextModal([&](QWidget* box) {
      shown = MessageText(box);
      ClickButton(box, "OK");
    });
    QTest::mouseClick(form->SaveButton, Qt::LeftButton);
    EXPECT_TRUE(shown.contains(QString::fromUtf8("Mindestens ein Ausgabeformat w\xC3\xA4hlen!"))) << shown.toStdString();
    UseOutputMenu(*form, form->SelectAllItem);
    QTest::mouseClick(form->SaveButton, Qt::LeftButton);
    EXPECT_EQ(StoredString("Language"), "de-DE");
  }
  {
    // A right-to-left language mirrors the dialog at once.
    auto form = Open();
    ShowTab(*form, 2);
    ChooseCulture(*form, "ar-SA");
    EXPECT_EQ(form->layoutDirection(), Qt::RightToLeft);
    EXPECT_EQ(form->SaveButton->geometry(), QRect(8, 370, 75, 25));
    EXPECT_EQ(form->HelpButton->geometry(), QRect(278, 370, 75, 25));
    QWidget* page = form->BehaviourTab;
    EXPECT_EQ(form->OutputDirLabel->geometry().right() + 1, page->width() - 16);
    EXPECT_EQ(form->CreateLogCheckBox->geometry().right() + 1, page->width() - 16);
    EXPECT_EQ(form->OutputDirEdit->geometry(), QRect(page->width() - 16 - 260, 33, 260, 22));
    // A dialog opened in that language is mirrored from the start.
    auto second = Open();
    EXPECT_EQ(second->layoutDirection(), Qt::RightToLeft);
    EXPECT_EQ(second->SaveButton->geometry(), QRect(8, 370, 75, 25));
    EXPECT_EQ(second->OutputDirEdit->geometry(), form->OutputDirEdit->geometry());
    EXPECT_EQ(second->ShowHintsCheckBox->geometry(), form->ShowHintsCheckBox->geometry());
    second.reset();
    ChooseCulture(*form, "de-DE");
    EXPECT_EQ(form->layoutDirection(), Qt::LeftToRight);
    EXPECT_EQ(form->SaveButton->geometry(), QRect(278, 370, 75, 25));
    EXPECT_EQ(form->OutputDirLabel->x(), 16);
  }
  localizer->SetCulture(nullptr);
}
