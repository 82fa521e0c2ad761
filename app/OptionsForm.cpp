#include "OptionsForm.h"

#include <QAction>
#include <QCoreApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QFontDatabase>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QPushButton>
#include <QStyle>
#include <QStyleOptionTabWidgetFrame>
#include <QTabBar>
#include <QTabWidget>
#include <QWindow>
#include <algorithm>

#include "CultureBox.h"
#include "FormTranslator.h"
#include "LocalizationModule.h"
#include "Localizer.h"
#include "MessageDialog.h"
#include "OutputFormats.h"
#include "ProgramHelp.h"
#include "ProgramHint.h"
#include "StyleManager.h"

namespace Vorelle {

namespace {

const int ExtensionRole = Qt::UserRole + 1;

bool IsBlank(const QString& S) { return S.trimmed().isEmpty(); }

template <typename T>
T* Create(QWidget* Parent, const char* Name, const QRect& Bounds) {
  T* w = new T(Parent);
  w->setObjectName(Name);
  w->setGeometry(Bounds);
  return w;
}

// Tabs that can tell the place of their pages before they are first shown.
class TPageControl : public QTabWidget {
public:
  using QTabWidget::QTabWidget;
  QSize PageSize() const {
    QStyleOptionTabWidgetFrame option;
    initStyleOption(&option);
    return style()->subElementRect(QStyle::SE_TabWidgetTabContents, &option, this).size();
  }
};

}  // namespace

QFont TOptionsForm::FormFont() {
  QFont font;
  if (QFontDatabase::hasFamily("Tahoma")) {
    font.setFamily("Tahoma");
  } else {
    font.setFamilies({"DejaVu Sans", "Liberation Sans", "Noto Sans"});
    font.setStyleHint(QFont::SansSerif);
  }
  font.setPixelSize(12);
  return font;
}

TOptionsForm::TOptionsForm(TOptions& Options, QWidget* Owner, TRegistry* Registry)
    : QDialog(Owner), FOptions(Options), FRegistry(Registry) {
  CreateComponents();
  // The translator takes the designed texts before the lists are filled:
  // format and style names are not translated.
  Translator = new I18n::TTranslator(this);
  Translator->setObjectName("Translator");
  Translator->OnAfterTranslate = [this](I18n::TTranslator*) { AutoSizeControls(); };
  Translator->OnAfterFlipLayout = [this](I18n::TTranslator*) { AutoSizeControls(); };
  Translator->Start();
  FormCreate();
}

TOptionsForm::~TOptionsForm() = default;

void TOptionsForm::CreateComponents() {
  setObjectName("OptionsForm");
  setWindowTitle("Vorelle - Options");
  setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowCloseButtonHint);
  setFixedSize(361, 400);
  setFont(FormFont());
  // The layout below is designed left to right; the translator mirrors it
  // for right-to-left languages, also when one is current at creation.
  setLayoutDirection(Qt::LeftToRight);

  auto* pageControl = Create<TPageControl>(this, "OptionsPageControl", {8, 8, 348, 356});
  OptionsPageControl = pageControl;
  OptionsPageControl->setUsesScrollButtons(false);
  auto addTab = [this](const char* Name, const char* Caption, const char* Hint) {
    auto* tab = new QWidget;
    tab->setObjectName(Name);
    tab->setWindowTitle(Caption);
    tab->setToolTip(Hint);
    tab->installEventFilter(this);
    int index = OptionsPageControl->addTab(tab, Caption);
    OptionsPageControl->setTabToolTip(index, Hint);
    return tab;
  };
  auto label = [this](QWidget* Parent, const char* Name, int X, int Y, const char* Caption, const char* Hint) {
    auto* l = Create<QLabel>(Parent, Name, {X, Y, 10, 14});
    l->setText(Caption);
    l->setToolTip(Hint);
    l->installEventFilter(this);
    FAutoSized << l;
    return l;
  };
  auto checkBox = [this](QWidget* Parent, const char* Name, int X, int Y, const char* Caption, const char* Hint) {
    auto* c = Create<QCheckBox>(Parent, Name, {X, Y, 10, 17});
    c->setText(Caption);
    c->setToolTip(Hint);
    FAutoSized << c;
    return c;
  };

  BehaviourTab = addTab("BehaviourTab", "Behaviour", "This tab allow you to edit program behaviour options");
  const char* outputDirHint = "Determine the program output directory, which is used to store the converted images";
  OutputDirLabel = label(BehaviourTab, "OutputDirLabel", 16, 14, "Output directory", outputDirHint);
  OutputDirEdit = Create<QLineEdit>(BehaviourTab, "OutputDirEdit", {16, 33, 260, 22});
  OutputDirEdit->setToolTip(outputDirHint);
  SelectOutputDirButton = Create<QPushButton>(BehaviourTab, "SelectOutputDirButton", {282, 31, 35, 25});
  SelectOutputDirButton->setText("...");
  SelectOutputDirButton->setToolTip(
      "Press this button to choose the output directory from the standard Windows dialog");
  CloseAtEndCheckBox =
      checkBox(BehaviourTab, "CloseAtEndCheckBox", 16, 73, "Close the program when conversion finish",
               "Check this option to tell the program that close itself after the images conversion finish");
  OpenOutdirCheckBox =
      checkBox(BehaviourTab, "OpenOutdirCheckBox", 16, 96, "Open the output dir when conversion finish",
               "Check this option to tell the program that open the output directory when the conversion finish");
  CreateLogCheckBox = checkBox(
      BehaviourTab, "CreateLogCheckBox", 16, 119, "Create a log file with conversion information",
      "Check this option to tell the program that you want to create a log file with last use information");
  LaunchLogCheckBox =
      checkBox(BehaviourTab, "LaunchLogCheckBox", 16, 142, "Launch the log file when the conversion finish",
               "Check this option to tell the program that must launch the created last use log");

  FormatsTab = addTab("FormatsTab", "Formats", "This tab allow you to edit the currently selected output formats");
  const char* formatsHint = "Choose from this list the output formats that you want to use when convert image files";
  OutputFormatsLabel = label(FormatsTab, "OutputFormatsLabel", 16, 14, "Output formats", formatsHint);
  FormatsCheckListBox = Create<QListWidget>(FormatsTab, "FormatsCheckListBox", {16, 33, 305, 274});
  FormatsCheckListBox->setToolTip(formatsHint);
  FormatsCheckListBox->setContextMenuPolicy(Qt::CustomContextMenu);
  OutputMenu = new QMenu(this);
  OutputMenu->setObjectName("OutputMenu");
  SelectAllItem = OutputMenu->addAction("Select all");
  SelectAllItem->setObjectName("SelectAllItem");
  SelectNoneItem = OutputMenu->addAction("Select none");
  SelectNoneItem->setObjectName("SelectNoneItem");

  InterfaceTab = addTab("InterfaceTab", "Interface", "This tab allow you to edit the program interface options");
  const char* languageHint = "Choose from this list one of the available languages to use on the program user interface";
  LanguageLabel = label(InterfaceTab, "LanguageLabel", 16, 14, "Language", languageHint);
  CultureBox = new I18n::TCultureBox(InterfaceTab, I18n::TLocalizer::FirstInstance());
  CultureBox->setObjectName("CultureBox");
  CultureBox->setGeometry(16, 33, 305, 22);
  CultureBox->setToolTip(languageHint);
  const char* themeHint = "Choose from this list the theme that you want to use in the program";
  AppThemeLabel = label(InterfaceTab, "AppThemeLabel", 16, 73, "Theme", themeHint);
  AppThemesListBox = Create<QListWidget>(InterfaceTab, "AppThemesListBox", {16, 93, 305, 97});
  AppThemesListBox->setToolTip(themeHint);
  ShowHintsCheckBox = checkBox(
      InterfaceTab, "ShowHintsCheckBox", 16, 206, "Show program hints in certain interfaz controls",
      "Check this option to show certain hints and notes when the mouse is over some interfaz controls");

  HelpButton = Create<QPushButton>(this, "HelpButton", {8, 370, 75, 25});
  HelpButton->setText("Help");
  HelpButton->setToolTip("Press this button or press the F1 key to open the program help");
  CancelButton = Create<QPushButton>(this, "CancelButton", {197, 370, 75, 25});
  CancelButton->setText("Cancel");
  CancelButton->setToolTip("Press this button or the Escape key to close this dialog cancelling the changes");
  SaveButton = Create<QPushButton>(this, "SaveButton", {278, 370, 75, 25});
  SaveButton->setText("Save");
  SaveButton->setToolTip("Press this button or the ENTER key to close this dialog saving the changes");
  // Escape closes the dialog as Cancel does; Enter does too unless the focus
  // is on another button.
  CancelButton->setDefault(true);

  OptionsPageControl->setCurrentIndex(0);
  OptionsPageControl->setFocus();
  // Lay the pages out now, not when first shown: controls are placed (and
  // mirrored for right-to-left languages) against their page's width.
  for (QWidget* page : {BehaviourTab, FormatsTab, InterfaceTab}) page->setGeometry(QRect({0, 0}, pageControl->PageSize()));
  installEventFilter(this);
  for (QWidget* child : findChildren<QWidget*>()) child->installEventFilter(this);
  AutoSizeControls();

  connect(HelpButton, &QPushButton::clicked, this, &TOptionsForm::HelpButtonClick);
  connect(CancelButton, &QPushButton::clicked, this, &QDialog::reject);
  connect(SaveButton, &QPushButton::clicked, this, &TOptionsForm::SaveButtonClick);
  connect(SelectOutputDirButton, &QPushButton::clicked, this, &TOptionsForm::SelectOutputDirButtonClick);
  connect(SelectAllItem, &QAction::triggered, this, &TOptionsForm::SelectAllItemClick);
  connect(SelectNoneItem, &QAction::triggered, this, &TOptionsForm::SelectNoneItemClick);
  connect(FormatsCheckListBox, &QWidget::customContextMenuRequested, this,
          [this](const QPoint& At) { OutputMenu->popup(FormatsCheckListBox->viewport()->mapToGlobal(At)); });
  // A box set by the program runs its rule just as a click does.
  connect(ShowHintsCheckBox, &QCheckBox::toggled, this, &TOptionsForm::ShowHintsCheckBoxClick);
  connect(CreateLogCheckBox, &QCheckBox::toggled, this, &TOptionsForm::CreateLogCheckBoxClick);
  connect(OpenOutdirCheckBox, &QCheckBox::toggled, this, &TOptionsForm::CreateLogCheckBoxClick);
  connect(LaunchLogCheckBox, &QCheckBox::toggled, this, &TOptionsForm::LaunchLogCheckBoxClick);
}

void TOptionsForm::FormCreate() {
  TProgramHint::SetShowHints(*this, FOptions.ShowHints());
  OutputDirEdit->setText(QString::fromStdString(FOptions.OutputDir()));
  ShowHintsCheckBox->setChecked(FOptions.ShowHints());
  CreateLogCheckBox->setChecked(FOptions.CreateLog());
  LaunchLogCheckBox->setChecked(FOptions.LaunchLog());
  OpenOutdirCheckBox->setChecked(FOptions.OpenOutDir());
  CloseAtEndCheckBox->setChecked(FOptions.CloseAtEnd());
  if (!CreateLogCheckBox->isChecked() && !LaunchLogCheckBox->isChecked()) LaunchLogCheckBox->setEnabled(false);

  // The formats sorted by their display texts; each item keeps the
  // extension of its format.
  std::vector<std::string> names, extensions;
  TImagingUtils::GetOutputFormatsNames(names);
  TImagingUtils::GetOutputFormatsExtensions(extensions);
  std::vector<size_t> order(names.size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
    return QString::fromStdString(names[a]).compare(QString::fromStdString(names[b]), Qt::CaseInsensitive) < 0;
  });
  FormatsCheckListBox->clear();
  for (size_t i : order) {
    auto* item = new QListWidgetItem(QString::fromStdString(names[i]), FormatsCheckListBox);
    item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable);
    item->setData(ExtensionRole, QString::fromStdString(i < extensions.size() ? extensions[i] : std::string()));
    bool selected = false;
    for (const TFormatEntry& entry : FOptions.ImgFormats())
      if (entry.Ext == extensions[i]) selected = entry.Selected();
    item->setCheckState(selected ? Qt::Checked : Qt::Unchecked);
  }

  const QSignalBlocker blockThemes(AppThemesListBox);
  AppThemesListBox->clear();
  AppThemesListBox->addItems(TStyleManager::StyleNames());
  const QString active = TStyleManager::ActiveStyleName();
  for (int i = 0; i < AppThemesListBox->count(); ++i)
    if (AppThemesListBox->item(i)->text() == active) AppThemesListBox->setCurrentRow(i);
  connect(AppThemesListBox, &QListWidget::itemSelectionChanged, this, &TOptionsForm::AppThemesListBoxClick,
          Qt::UniqueConnection);
}

QString TOptionsForm::ItemExtension(const QListWidgetItem* Item) { return Item->data(ExtensionRole).toString(); }

QString TOptionsForm::GetText(const QString& Text) const { return Translator->GetText(Text); }

I18n::TMessageDialog* TOptionsForm::MsgDialog() {
  if (I18n::TLocalizationModule* module = I18n::TLocalizationModule::Instance()) return module->MsgDialog();
  if (!FOwnMsgDialog) FOwnMsgDialog = new I18n::TMessageDialog(this);
  return FOwnMsgDialog;
}

void TOptionsForm::Inform(const QString& Text) { MsgDialog()->Inform(Text); }
void TOptionsForm::ShowWarning(const QString& Text) { MsgDialog()->ShowWarning(Text); }
void TOptionsForm::ShowError(const QString& Text) { MsgDialog()->ShowError(Text); }

void TOptionsForm::FormKeyUp(int Key) {
  if (Key == Qt::Key_F1) HelpButtonClick();
}

void TOptionsForm::HelpButtonClick() {
  if (!TProgramHelp::OpenProgramHelp())
    ShowWarning(GetText(TextHelpNotFound));
}

void TOptionsForm::SaveButtonClick() {
  bool anyChecked = false;
  for (int i = 0; i < FormatsCheckListBox->count(); ++i)
    anyChecked = anyChecked || FormatsCheckListBox->item(i)->checkState() == Qt::Checked;
  if (!anyChecked) {
    Inform(GetText(TextNoFormat));
    OptionsPageControl->setCurrentWidget(FormatsTab);
    FormatsCheckListBox->setFocus();
    return;
  }

  // Saving may fail (a full disk); the dialog then stays open with the
  // edited values, and the options in memory are left as they were.
  TOptions edited = FOptions;
  edited.SetCreateLog(CreateLogCheckBox->isChecked());
  edited.SetLaunchLog(LaunchLogCheckBox->isChecked());
  edited.SetShowHints(ShowHintsCheckBox->isChecked());
  edited.SetCloseAtEnd(CloseAtEndCheckBox->isChecked());
  edited.SetOpenOutDir(OpenOutdirCheckBox->isChecked());
  // Without a current culture the stored language stays.
  if (I18n::TLocalizer* localizer = I18n::TLocalizer::FirstInstance(); localizer && localizer->Culture())
    edited.SetLanguage(localizer->Culture()->Locale);
  const QString dir = OutputDirEdit->text();
  if (!IsBlank(dir) && QFileInfo(dir).isDir()) edited.SetOutputDir(dir.toStdString());
  for (int i = 0; i < FormatsCheckListBox->count(); ++i) {
    const QListWidgetItem* item = FormatsCheckListBox->item(i);
    const std::string ext = ItemExtension(item).toStdString();
    for (TFormatEntry& entry : edited.ImgFormats())
      if (entry.Ext == ext) entry.Flag = item->checkState() == Qt::Checked ? 1 : 0;
  }
  try {
    if (FRegistry)
      edited.Save(*FRegistry);
    else
      edited.SaveToUserSettings();
  } catch (const ERegistryException& e) {
    ShowError(QString::fromUtf8(e.what()));
    return;
  }
  FOptions = edited;
  accept();
}

void TOptionsForm::SelectAllItemClick() {
  for (int i = 0; i < FormatsCheckListBox->count(); ++i) FormatsCheckListBox->item(i)->setCheckState(Qt::Checked);
}

void TOptionsForm::SelectNoneItemClick() {
  for (int i = 0; i < FormatsCheckListBox->count(); ++i) FormatsCheckListBox->item(i)->setCheckState(Qt::Unchecked);
}

void TOptionsForm::SelectOutputDirButtonClick() {
  QString dir = QFileDialog::getExistingDirectory(this, GetText(TextSelectOutputDir), QString(),
                                                  QFileDialog::ShowDirsOnly | QFileDialog::DontUseNativeDialog);
  if (dir.isEmpty()) return;
  if (!dir.endsWith('/')) dir += '/';
  OutputDirEdit->setText(dir);
}

void TOptionsForm::ShowHintsCheckBoxClick() { TProgramHint::SetShowHints(*this, ShowHintsCheckBox->isChecked()); }

void TOptionsForm::AppThemesListBoxClick() {
  const QListWidgetItem* item = AppThemesListBox->currentItem();
  if (!item || !item->isSelected()) return;
  try {
    TStyleManager::SetStyle(item->text());
    FOptions.SetAppStyle(item->text().toStdString());
  } catch (const EStyleNotFound& e) {
    ShowError(QString::fromUtf8(e.what()));
  }
}

void TOptionsForm::CreateLogCheckBoxClick() {
  if (CreateLogCheckBox->isChecked()) {
    LaunchLogCheckBox->setEnabled(true);
  } else {
    LaunchLogCheckBox->setEnabled(false);
    LaunchLogCheckBox->setChecked(false);
  }
}

void TOptionsForm::LaunchLogCheckBoxClick() {
  if (LaunchLogCheckBox->isChecked()) CreateLogCheckBox->setChecked(true);
}

void TOptionsForm::AutoSizeControls() {
  if (FSizing) return;
  FSizing = true;
  for (QWidget* w : FAutoSized) {
    QWidget* parent = w->parentWidget();
    QRect r = w->geometry();
    int width = w->sizeHint().width();
    const bool rtl = w->isRightToLeft();
    // Keep a margin to the far edge of the tab.
    int room = rtl ? r.right() + 1 - 8 : parent->width() - r.left() - 8;
    if (parent->width() > 0) width = std::min(width, std::max(room, 0));
    if (rtl) r.setLeft(r.right() + 1 - width);
    else r.setWidth(width);
    r.setHeight(std::max(r.height(), w->sizeHint().height()));
    w->setGeometry(r);
  }
  FSizing = false;
}

bool TOptionsForm::eventFilter(QObject* Watched, QEvent* Event) {
  switch (Event->type()) {
    case QEvent::KeyRelease:
      // The dialog sees keys before its controls do.
      if (static_cast<QKeyEvent*>(Event)->key() == Qt::Key_F1 && !static_cast<QKeyEvent*>(Event)->isAutoRepeat()) {
        FormKeyUp(Qt::Key_F1);
        return true;
      }
      break;
    case QEvent::MouseButtonPress: {
      // The background, the tabs and the labels move the dialog.
      auto* mouse = static_cast<QMouseEvent*>(Event);
      const bool surface = Watched == this || Watched == BehaviourTab || Watched == FormatsTab ||
                           Watched == InterfaceTab || Watched == OutputDirLabel || Watched == OutputFormatsLabel ||
                           Watched == LanguageLabel || Watched == AppThemeLabel;
      if (surface && mouse->button() == Qt::LeftButton && windowHandle() && windowHandle()->startSystemMove())
        return true;
      break;
    }
    case QEvent::LayoutRequest:
    case QEvent::Show:
    case QEvent::Resize:
    case QEvent::LayoutDirectionChange:
      if (Watched == BehaviourTab || Watched == FormatsTab || Watched == InterfaceTab) AutoSizeControls();
      break;
    case QEvent::WindowTitleChange:
      // A tab's caption is its page's title.
      if (auto* page = qobject_cast<QWidget*>(Watched); page && OptionsPageControl) {
        int index = OptionsPageControl->indexOf(page);
        if (index >= 0) OptionsPageControl->setTabText(index, page->windowTitle());
      }
      break;
    case QEvent::ToolTipChange:
      if (auto* page = qobject_cast<QWidget*>(Watched); page && OptionsPageControl) {
        int index = OptionsPageControl->indexOf(page);
        if (index >= 0) OptionsPageControl->setTabToolTip(index, page->toolTip());
      }
      break;
    default:
      break;
  }
  return QDialog::eventFilter(Watched, Event);
}

void TOptionsForm::keyReleaseEvent(QKeyEvent* Event) {
  if (Event->key() == Qt::Key_F1 && !Event->isAutoRepeat())
    FormKeyUp(Qt::Key_F1);
  else
    QDialog::keyReleaseEvent(Event);
}

void TOptionsForm::showEvent(QShowEvent* Event) {
  QDialog::showEvent(Event);
  AutoSizeControls();
}

void TOptionsForm::changeEvent(QEvent* Event) {
  QDialog::changeEvent(Event);
  if (Event->type() == QEvent::FontChange || Event->type() == QEvent::LayoutDirectionChange) AutoSizeControls();
}

}  // namespace Vorelle
