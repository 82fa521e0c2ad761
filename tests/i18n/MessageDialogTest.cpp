// The message dialog as a user drives it: buttons, Escape, Enter, Ctrl+C,
// hot keys, measures, translated captions.
#include <gtest/gtest.h>

#include <QClipboard>
#include <QDialog>
#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <functional>

#include "LocalizationModule.h"
#include "MessageDialog.h"
#include "WidgetTestSupport.h"

using namespace I18n;

namespace {

// Runs Action on the dialog once it is shown modally.
void WhenShown(const std::function<void(QDialog*)>& Action, int Tries = 100) {
  QTimer::singleShot(10, [Action, Tries] {
    auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
    if (!dialog || !dialog->isVisible()) {
      if (Tries > 0) WhenShown(Action, Tries - 1);
      else ADD_FAILURE() << "no dialog shown";
      return;
    }
    // Hot keys need the dialog to be the active window.
    QApplication::setActiveWindow(dialog);
    // A dialog the action leaves open fails the test instead of hanging it.
    QTimer::singleShot(3000, dialog, [dialog] {
      ADD_FAILURE() << "the dialog stayed open";
      dialog->done(-1);
    });
    Action(dialog);
  });
}

QPushButton* Button(QDialog* Dialog, const char* Name) { return Dialog->findChild<QPushButton*>(QLatin1String(Name)); }

QStringList ButtonNames(QDialog* Dialog) {
  QStringList names;
  for (QPushButton* b : Dialog->findChildren<QPushButton*>()) names << b->objectName();
  return names;
}

}  // namespace

TEST(MessageDialog, ConfirmIsTrueOnlyForYes) {
  TestApp();
  TMessageDialog dialog;
  struct TCase {
    const char* Name;
    std::function<void(QDialog*)> Action;
    bool Expected;
  };
  const TCase cases[] = {
      {"Yes clicked", [](QDialog* d) { QTest::mouseClick(Button(d, "Yes"), Qt::LeftButton); }, true},
      {"No clicked", [](QDialog* d) { QTest::mouseClick(Button(d, "No"), Qt::LeftButton); }, false},
      {"Enter on the default Yes", [](QDialog* d) { QTest::keyClick(d, Qt::Key_Return); }, true},
      {"Escape answers No", [](QDialog* d) { QTest::keyClick(d, Qt::Key_Escape); }, false},
      {"closed", [](QDialog* d) { d->close(); }, false},
      {"hot key N", [](QDialog* d) { QTest::keyClick(d, Qt::Key_N, Qt::AltModifier); }, false},
      {"hot key Y", [](QDialog* d) { QTest::keyClick(d, Qt::Key_Y, Qt::AltModifier); }, true},
  };
  for (const TCase& c : cases) {
    WhenShown(c.Action);
    EXPECT_EQ(dialog.Confirm(QStringLiteral("Close?")), c.Expected) << c.Name;
  }
  // No as the default button: Enter answers No.
  WhenShown([](QDialog* d) {
    EXPECT_TRUE(Button(d, "No")->isDefault());
    EXPECT_FALSE(Button(d, "Yes")->isDefault());
    QTest::keyClick(d, Qt::Key_Return);
  });
  EXPECT_FALSE(dialog.Confirm(QStringLiteral("Close?"), mbNo));
}

TEST(MessageDialog, CtrlCCopiesTheDialogByteForByte) {
  TestApp();
  TMessageDialog dialog;
  WhenShown([](QDialog* d) {
    QTest::keyClick(d, Qt::Key_C, Qt::ControlModifier);
    d->close();
  });
  dialog.Confirm(QStringLiteral("Confirm to cancel the current conversion and close the program?"));
  const QString rule = QStringLiteral("---------------------------\r\n");
  EXPECT_EQ(QGuiApplication::clipboard()->text(),
            rule + "Confirm\r\n" + rule + "Confirm to cancel the current conversion and close the program?\r\n" + rule +
                "Yes   No   \r\n" + rule);
  // A custom dialog has the application's title; "&&" shows as "&".
  dialog.ButtonCaptions()->SetOK(QStringLiteral("O&&K"));
  WhenShown([](QDialog* d) {
    QTest::keyClick(d, Qt::Key_C, Qt::ControlModifier);
    QTest::keyClick(d, Qt::Key_Escape);
  });
  dialog.ShowMessage(QStringLiteral("Two\nlines"));
  EXPECT_EQ(QGuiApplication::clipboard()->text(), rule + "Vorelle\r\n" + rule + "Two\nlines\r\n" + rule + "O&K   \r\n" + rule);
}

TEST(MessageDialog, ButtonsTitlesAndEscapeOfEveryKind) {
  TestApp();
  TMessageDialog dialog;
  struct TCase {
    TMsgDlgType Type;
    TMsgDlgButtons Buttons;
    const char* Title;
    QStringList Names;
    TModalResult OnEscape;
  };
  const TCase cases[] = {
      {mtWarning, MsgDlgButton(mbOK), "Warning", {"OK"}, mrOk},
      {mtError, MsgDlgButton(mbOK), "Error", {"OK"}, mrOk},
      {mtInformation, MsgDlgButton(mbOK) | MsgDlgButton(mbCancel), "Information", {"OK", "Cancel"}, mrCancel},
      {mtConfirmation, MsgDlgButton(mbClose) | MsgDlgButton(mbNo) | MsgDlgButton(mbYes) | MsgDlgButton(mbAbort),
       "Confirm", {"Yes", "No", "Abort", "Close"}, mrNo},
      {mtCustom, MsgDlgButton(mbRetry) | MsgDlgButton(mbIgnore), "Vorelle", {"Retry", "Ignore"}, mrNone},
  };
  for (const TCase& c : cases) {
    std::unique_ptr<QDialog> d(dialog.CreateDialog(QStringLiteral("Text"), c.Type, c.Buttons, mbOK, 0));
    EXPECT_EQ(d->windowTitle(), c.Title);
    EXPECT_EQ(ButtonNames(d.get()), c.Names);
    EXPECT_EQ(d->findChild<QLabel*>(QStringLiteral("Image")) != nullptr, c.Type != mtCustom);
    d->setResult(-1);
    d->reject();
    EXPECT_EQ(d->result(), c.OnEscape == mrNone ? -1 : int(c.OnEscape)) << c.Title;
  }
  // A help context adds Help, which opens the help and closes nothing.
  int helpShown = 0;
  dialog.OnHelp = [&](int Context) { helpShown = Context; };
  WhenShown([](QDialog* d) {
    EXPECT_EQ(ButtonNames(d), QStringList({"OK", "Help"}));
    QTest::mouseClick(Button(d, "Help"), Qt::LeftButton);
    EXPECT_TRUE(d->isVisible());
    QTest::mouseClick(Button(d, "OK"), Qt::LeftButton);
  });
  dialog.Inform(QStringLiteral("Text"), 7);
  EXPECT_EQ(helpShown, 7);
}

TEST(MessageDialog, HotKeysAndMeasures) {
  TestApp();
  TMessageDialog dialog;
  struct TCase {
    const char* Yes;
    const char* No;
    const char* OK;
    const char* ExpectedYes;
    const char* ExpectedNo;
    const char* ExpectedOK;
  };
  const TCase cases[] = {
      {"Yes", "No", "OK", "&Yes", "&No", "OK"},
      {"&Ja", "&Nein", "O&K", "&Ja", "&Nein", "OK"},
      {"Yes", "Yo", "OK", "&Yes", "Y&o", "OK"},
      {"Ye&&s", "&&Y", "OK", "&Ye&&s", "&&Y", "OK"},  // no letter left for No
      {"1 - yes", "yes 2", "OK", "&1 - yes", "&yes 2", "OK"},
  };
  for (const TCase& c : cases) {
    dialog.ButtonCaptions()->SetYes(QString::fromUtf8(c.Yes));
    dialog.ButtonCaptions()->SetNo(QString::fromUtf8(c.No));
    dialog.ButtonCaptions()->SetOK(QString::fromUtf8(c.OK));
    std::unique_ptr<QDialog> d(dialog.CreateDialog(
        "Text", mtConfirmation, MsgDlgButton(mbYes) | MsgDlgButton(mbNo) | MsgDlgButton(mbOK), mbYes, 0));
    EXPECT_EQ(Button(d.get(), "Yes")->text(), QString::fromUtf8(c.ExpectedYes)) << c.Yes;
    EXPECT_EQ(Button(d.get(), "No")->text(), QString::fromUtf8(c.ExpectedNo)) << c.No;
    EXPECT_EQ(Button(d.get(), "OK")->text(), QString::fromUtf8(c.ExpectedOK)) << c.OK;
  }
  dialog.AutoHotKeys = false;
  dialog.ButtonCaptions()->SetYes(QStringLiteral("Yes"));
  std::unique_ptr<QDialog> plain(dialog.CreateDialog("Text", mtCustom, MsgDlgButton(mbYes), mbYes, 0));
  EXPECT_EQ(Button(plain.get(), "Yes")->text(), "Yes");

  // Measures from the font: buttons at least 15 average characters wide,
  // right-aligned with a margin of 2, a content at least 65 wide.
  std::unique_ptr<QDialog> d(dialog.CreateDialog(
      "Short", mtWarning, MsgDlgButton(mbYes) | MsgDlgButton(mbNo), mbYes, 0));
  const QFontMetrics m(d->font());
  const int A = m.averageCharWidth();
  QPushButton* yes = Button(d.get(), "Yes");
  QPushButton* no = Button(d.get(), "No");
  EXPECT_EQ(yes->width(), std::max(15 * A, m.boundingRect("Yes").width() + 8));
  EXPECT_EQ(no->x() - yes->x(), yes->width() + A);
  EXPECT_EQ(d->width(), 65 * A);
  EXPECT_EQ(no->mapTo(d.get(), QPoint(0, 0)).x() + no->width(), d->width() - 2 * A);
  EXPECT_EQ(d->height(), no->parentWidget()->y() + no->height() + 2 * no->y());
  // A right-to-left dialog puts the buttons on the left.
  dialog.SetBiDiMode(Qt::RightToLeft);
  std::unique_ptr<QDialog> rtl(dialog.CreateDialog(
      "Short", mtWarning, MsgDlgButton(mbYes) | MsgDlgButton(mbNo), mbYes, 0));
  EXPECT_EQ(Button(rtl.get(), "No")->x(), 2 * A);
  EXPECT_EQ(rtl->layoutDirection(), Qt::RightToLeft);
}

TEST(MessageDialog, CaptionsAreTranslatedWithTheModule) {
  TestApp();
  const auto file = CatalogFile(
      "<?xml version=\"1.0\"?><i18nCatalog><Domain Name=\"LocalizationModule\">"
      "<Property ID=\"MsgDialog.ButtonCaptions.Yes\"><Value>Yes</Value>"
      "<Translation Locale=\"de-DE\">&amp;Ja</Translation></Property>"
      "<Property ID=\"MsgDialog.Captions.Confirmation\"><Value>Confirm</Value>"
      "<Translation Locale=\"de-DE\">Best\xC3\xA4tigen</Translation></Property>"
      "<Property ID=\"MsgDialog.ButtonCaptions.No\"><Value>No</Value>"
      "<Translation Locale=\"de-DE\" State=\"Fuzzy\">Nein</Translation></Property>"
      "</Domain></i18nCatalog>");
  TLocalizationModule module(nullptr, file->fileName());
  EXPECT_EQ(TLocalizationModule::Instance(), &module);
  TTextItems& properties = module.Translator()->Translatables().Properties();
  EXPECT_NE(properties.Find("MsgDialog.ButtonCaptions.NoToAll"), nullptr);
  EXPECT_NE(properties.Find("MsgDialog.Captions.Warning"), nullptr);
  EXPECT_EQ(properties.Find("MsgDialog.Captions.Custom"), nullptr);  // empty
  module.Localizer()->SetCultureName("de-DE");
  EXPECT_EQ(module.MsgDialog()->ButtonCaptions()->Yes(), "&Ja");
  EXPECT_EQ(module.MsgDialog()->ButtonCaptions()->No(), "No");
  EXPECT_EQ(module.MsgDialog()->Captions()->Confirmation(), QString::fromUtf8("Best\xC3\xA4tigen"));
  WhenShown([](QDialog* d) {
    EXPECT_EQ(Button(d, "Yes")->text(), "&Ja");
    QTest::keyClick(d, Qt::Key_J, Qt::AltModifier);
  });
  EXPECT_TRUE(module.MsgDialog()->Confirm("?"));
  module.Localizer()->SetCulture(nullptr);
  EXPECT_EQ(module.MsgDialog()->ButtonCaptions()->Yes(), "Yes");
  EXPECT_EQ(module.MsgDialog()->Captions()->Confirmation(), "Confirm");
}
