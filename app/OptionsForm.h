// The options dialog: edits the program's options (output folder, end-of-run
// actions, log, output formats, language, visual style, hints) and stores
// them when the user presses Save. The language and the style take effect
// at once, while the dialog is open, and stay in effect after Cancel.
//
//   TOptionsForm dialog(AppOptions, mainForm);  // centred on the main window
//   mainForm->setEnabled(false);
//   dialog.exec();                              // Accepted after Save stored the options
//   mainForm->setEnabled(true);
//   TProgramHint::SetShowHints(*mainForm, AppOptions.ShowHints());
//
// Components carry the names of the window description (objectName), so the
// translator (domain "OptionsForm") finds their captions and hints. The
// language list and the messages use the program's localization module
// (I18n::TLocalizationModule) when one exists.
#pragma once

#include <QDialog>
#include <QString>
#include <QVector>
#include <vector>

#include "OptionsStore.h"

class QAction;
class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QListWidgetItem;
class QMenu;
class QPushButton;
class QTabWidget;

namespace I18n {
class TCultureBox;
class TMessageDialog;
class TTranslator;
}  // namespace I18n

namespace Vorelle {

class TOptionsForm : public QDialog {
  Q_OBJECT
public:
  // Options: the program's long-lived options, edited in place. Registry:
  // where Save stores them; the user's settings file when null.
  explicit TOptionsForm(TOptions& Options, QWidget* Owner = nullptr, TRegistry* Registry = nullptr);
  ~TOptionsForm() override;

  // The extension of the output format an item of FormatsCheckListBox
  // stands for.
  static QString ItemExtension(const QListWidgetItem* Item);
  // The font of the program's windows: Tahoma at 12 pixels, or the
  // desktop's sans-serif font at 12 pixels where Tahoma is not installed.
  static QFont FormFont();

  // The literal texts of the dialog (translated through its translator).
  static constexpr const char* TextHelpNotFound =
      "The program help file is not found! Maybe you need to reinstall the program?";
  static constexpr const char* TextNoFormat = "You need to select at least one output format!";
  static constexpr const char* TextSelectOutputDir = "Select the output directory";
  static std::vector<const char*> Literals() { return {TextHelpNotFound, TextNoFormat, TextSelectOutputDir}; }

  // The translation of a literal text of this dialog.
  QString GetText(const QString& Text) const;

  QTabWidget* OptionsPageControl;
  QWidget* BehaviourTab;
  QLabel* OutputDirLabel;
  QLineEdit* OutputDirEdit;
  QPushButton* SelectOutputDirButton;
  QCheckBox* CloseAtEndCheckBox;
  QCheckBox* OpenOutdirCheckBox;
  QCheckBox* CreateLogCheckBox;
  QCheckBox* LaunchLogCheckBox;
  QWidget* FormatsTab;
  QLabel* OutputFormatsLabel;
  QListWidget* FormatsCheckListBox;
  QMenu* OutputMenu;
  QAction* SelectAllItem;
  QAction* SelectNoneItem;
  QWidget* InterfaceTab;
  QLabel* LanguageLabel;
  I18n::TCultureBox* CultureBox;
  QLabel* AppThemeLabel;
  QListWidget* AppThemesListBox;
  QCheckBox* ShowHintsCheckBox;
  QPushButton* HelpButton;
  QPushButton* CancelButton;
  QPushButton* SaveButton;
  I18n::TTranslator* Translator;

  // Event handlers, named after their control and event.
  void FormCreate();
  void FormKeyUp(int Key);
  void HelpButtonClick();
  void SaveButtonClick();
  void SelectAllItemClick();
  void SelectNoneItemClick();
  void SelectOutputDirButtonClick();
  void ShowHintsCheckBoxClick();
  void AppThemesListBoxClick();
  void CreateLogCheckBoxClick();
  void LaunchLogCheckBoxClick();

protected:
  bool eventFilter(QObject* Watched, QEvent* Event) override;
  void keyReleaseEvent(QKeyEvent* Event) override;
  void showEvent(QShowEvent* Event) override;
  void changeEvent(QEvent* Event) override;

private:
  void CreateComponents();
  // Sizes the labels and check boxes to their texts (the layout is fixed,
  // the texts change with the language); right-to-left controls keep their
  // right edge.
  void AutoSizeControls();
  void Inform(const QString& Text);
  void ShowWarning(const QString& Text);
  void ShowError(const QString& Text);

  I18n::TMessageDialog* MsgDialog();

  TOptions& FOptions;
  I18n::TMessageDialog* FOwnMsgDialog = nullptr;
  TRegistry* FRegistry;
  QVector<QWidget*> FAutoSized;
  bool FSizing = false;
};

}  // namespace Vorelle
