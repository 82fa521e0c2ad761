#include "MainForm.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QDesktopServices>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileInfo>
#include <QKeyEvent>
#include <QLocale>
#include <QRegularExpression>
#include <QLabel>
#include <QMimeData>
#include <QMouseEvent>
#include <QProgressBar>
#include <QPushButton>
#include <QThread>
#include <QUrl>
#include <QWindow>
#include <cstdio>
#include <map>

#include "FormPosition.h"
#include "FormTranslator.h"
#include "LocalizationModule.h"
#include "OptionsForm.h"
#include "ProgramHelp.h"
#include "ProgramHint.h"
#include "StyleManager.h"

namespace Vorelle {

// The conversion job's host on the worker thread: every call that touches
// the window is handed to the window's thread as a queued call, in the
// order the job makes them. Information messages wait for the user.
class TWindowHost : public IConversionHost {
public:
  explicit TWindowHost(TMainForm& Form) : FForm(Form) {}

  std::unique_ptr<TOptions> CreateRunOptions() override {
    return std::make_unique<TOptions>(TOptions::FromUserSettings(ReportOncePerProcess(
        [](const std::string& Message) { std::fprintf(stderr, "vorelle: %s\n", Message.c_str()); })));
  }
  void SetCursor(TCursorShape Cursor) override {
    Post([Cursor] {
      if (Cursor == TCursorShape::crHourGlass)
        QApplication::setOverrideCursor(Qt::BusyCursor);
      else
        while (QApplication::overrideCursor()) QApplication::restoreOverrideCursor();
    });
  }
  void AcceptDrops(bool Accept) override {
    Post([this, Accept] { FForm.setAcceptDrops(Accept); });
  }
  void BringToFront() override {
    Post([this] {
      FForm.raise();
      FForm.activateWindow();
    });
  }
  void ShowRunning(bool Running) override {
    Post([this, Running] { FForm.HostShowRunning(Running); });
  }
  void SetProgressMax(TProgressBar Bar, int32_t Max) override {
    Post([this, Bar, Max] { FForm.HostSetProgressMax(Bar, Max); });
  }
  void SetProgressStep(TProgressBar Bar, int32_t Step) override {
    Post([this, Bar, Step] { FForm.HostSetProgressStep(Bar, Step); });
  }
  void StepProgress(TProgressBar Bar) override {
    Post([this, Bar] { FForm.HostStepProgress(Bar); });
  }
  void SetProgressPosition(TProgressBar Bar, int32_t Position) override {
    Post([this, Bar, Position] { FForm.HostSetProgressPosition(Bar, Position); });
  }
  // The window's thread is never blocked by the run, so there is nothing
  // to pump here; Cancel reaches the job through its cancel flag.
  void ProcessMessages() override {}
  void ShellOpen(const std::string& Path) override {
    QString path = QString::fromStdString(Path);
    Post([this, path] {
      if (FForm.ShellOpenHandler)
        FForm.ShellOpenHandler(path);
      else
        QDesktopServices::openUrl(QUrl::fromLocalFile(path));
    });
  }
  void Inform(const std::string& Text) override {
    QString text = QString::fromStdString(Text);
    QMetaObject::invokeMethod(
        &FForm, [this, text] { FForm.Inform(text); }, Qt::BlockingQueuedConnection);
  }
  void CloseWindow() override {
    Post([this] { FForm.HostCloseWindow(); });
  }

private:
  template <typename F>
  void Post(F&& Call) {
    QMetaObject::invokeMethod(&FForm, std::forward<F>(Call), Qt::QueuedConnection);
  }
  TMainForm& FForm;
};

namespace {

// The job's literal texts as the window's translator translated them when
// the run started. The worker thread only reads this table, so the
// translator itself is used on the window's thread alone (the language
// cannot change during a run: the Options button is disabled).
class TRunTextTranslator : public ITextTranslator {
public:
  void Take(const TMainForm& Form) {
    FTexts.clear();
    for (const char* literal : TConversionJob::Literals())
      FTexts[literal] = Form.TranslateLiteral(QString::fromUtf8(literal)).toStdString();
  }
  std::string GetText(const std::string& Text) const override {
    auto found = FTexts.find(Text);
    return found == FTexts.end() ? Text : found->second;
  }

private:
  std::map<std::string, std::string> FTexts;
};

QFont WindowFont() {
  // Tahoma at 12 pixels; where it is not installed the desktop's sans-serif
  // face takes its place at the same pixel size.
  QFont font(QStringLiteral("Tahoma"));
  font.setStyleHint(QFont::SansSerif);
  font.setPixelSize(12);
  return font;
}

}  // namespace

TMainForm::TMainForm(TOptions& AppOptions, QWidget* Parent) : QWidget(Parent), FAppOptions(AppOptions) {
  setObjectName(QStringLiteral("MainForm"));
  setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                 Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);
  setWindowTitle(QStringLiteral("Vorelle"));
  setFont(WindowFont());
  setFixedSize(424, 148);
  // The window is designed left to right; its translator mirrors it for a
  // right-to-left language.
  setLayoutDirection(Qt::LeftToRight);
  move(0, 0);

  auto label = [this](const char* Name, const QRect& Geometry, const char* Caption, const char* Hint) {
    auto* l = new QLabel(QString::fromUtf8(Caption), this);
    l->setObjectName(QString::fromLatin1(Name));
    l->setGeometry(Geometry);
    l->setToolTip(QString::fromUtf8(Hint));
    return l;
  };
  auto bar = [this](const char* Name, const QRect& Geometry, const char* Hint) {
    auto* b = new QProgressBar(this);
    b->setObjectName(QString::fromLatin1(Name));
    b->setGeometry(Geometry);
    b->setTextVisible(false);
    b->setRange(0, 100);
    b->setValue(0);
    b->setToolTip(QString::fromUtf8(Hint));
    return b;
  };
  auto button = [this](const char* Name, const QRect& Geometry, const char* Caption, const char* Hint) {
    auto* b = new QPushButton(QString::fromUtf8(Caption), this);
    b->setObjectName(QString::fromLatin1(Name));
    b->setGeometry(Geometry);
    b->setToolTip(QString::fromUtf8(Hint));
    b->setAutoDefault(false);
    return b;
  };

  const char* imagesHint = "Here you can see the progress of the input image files that are processing";
  const char* formatsHint = "Here you can see the progress of the output formats that are processing";
  ImageProgressLabel = label("ImageProgressLabel", {8, 8, 87, 14}, "Images progress", imagesHint);
  ImagesProgressBar = bar("ImagesProgressBar", {8, 27, 150, 17}, imagesHint);
  FormatsProgressLabel = label("FormatsProgressLabel", {8, 58, 91, 14}, "Formats progress", formatsHint);
  FormatsProgressBar = bar("FormatsProgressBar", {8, 77, 150, 17}, formatsHint);
  NoteStaticText = label("NoteStaticText", {189, 19, 217, 57},
                         "To convert images just drag and drop image files to this window and let the program "
                         "do the rest to you!",
                         "For more information press the F1 key to open the program help file");
  NoteStaticText->setWordWrap(true);
  NoteStaticText->setAlignment(Qt::AlignLeading | Qt::AlignTop);
  CancelButton = button("CancelButton", {8, 110, 75, 25}, "Cancel",
                        "Press this button to cancel the current images conversion task");
  CancelButton->hide();
  OptionsButton = button("OptionsButton", {250, 110, 75, 25}, "Options...",
                         "Press this button to show the program options dialog, which you can use to edit the "
                         "current program options");
  CloseButton = button("CloseButton", {331, 110, 75, 25}, "Close",
                       "Press this button or press the Escape key to close this program");
  CloseButton->setDefault(true);

  // The two actions carry the captions of the buttons bound to them.
  OptionsAction = new QAction(QStringLiteral("Options..."), this);
  OptionsAction->setObjectName(QStringLiteral("OptionsAction"));
  CloseAction = new QAction(QStringLiteral("Close"), this);
  CloseAction->setObjectName(QStringLiteral("CloseAction"));
  auto bind = [](QPushButton* Button, QAction* Action) {
    QObject::connect(Button, &QPushButton::clicked, Action, &QAction::trigger);
    QObject::connect(Action, &QAction::changed, Button, [Button, Action] {
      Button->setText(Action->text());
      Button->setEnabled(Action->isEnabled());
    });
  };
  bind(OptionsButton, OptionsAction);
  bind(CloseButton, CloseAction);
  connect(OptionsAction, &QAction::triggered, this, [this] { OptionsActionExecute(); });
  connect(CloseAction, &QAction::triggered, this, [this] { CloseActionExecute(); });
  connect(CancelButton, &QPushButton::clicked, this, [this] { CancelButtonClick(); });

  // Key preview (F1 wherever the focus is, Enter and Escape) and moving the
  // window by its background, labels, bars and note.
  for (QWidget* w : {static_cast<QWidget*>(ImageProgressLabel), static_cast<QWidget*>(ImagesProgressBar),
                     static_cast<QWidget*>(FormatsProgressLabel), static_cast<QWidget*>(FormatsProgressBar),
                     static_cast<QWidget*>(NoteStaticText), static_cast<QWidget*>(CancelButton),
                     static_cast<QWidget*>(OptionsButton), static_cast<QWidget*>(CloseButton)})
    w->installEventFilter(this);
  CloseButton->setFocus();

  // The translator knows every caption and hint above and the literal
  // texts of the window and of the conversion job.
  FTranslator = new I18n::TTranslator(this);
  FTranslator->OnAfterTranslate = [this](I18n::TTranslator*) { AutoSizeLabels(); };
  FTranslator->OnAfterFlipLayout = [this](I18n::TTranslator*) { AutoSizeLabels(); };
  FTranslator->Start();
  AutoSizeLabels();
  for (const char* literal : Literals()) FTranslator->GetText(QString::fromUtf8(literal));

  FHost = std::make_unique<TWindowHost>(*this);
  FJobTranslator = std::make_unique<TRunTextTranslator>();
  FJob = std::make_unique<TConversionJob>(*FHost, *FJobTranslator);
  // Dropped files are converted on every core.
  FJob->SetWorkerCount(TConversionJob::DefaultWorkerCount());
  FormCreate();
}

std::vector<const char*> TMainForm::Literals() {
  std::vector<const char*> literals = TConversionJob::Literals();
  literals.push_back(TextConfirmClose);
  literals.push_back(TextHelpNotFound);
  return literals;
}

TMainForm::~TMainForm() {
  if (FWorker) {
    // A window destroyed during a run stops it; the job's last calls to the
    // window are served (quietly) until the worker has ended.
    FCloseRequested = true;
    if (FJob) FJob->RequestCancel();
    while (!FWorker->wait(20)) QCoreApplication::processEvents();
    delete FWorker;
    FWorker = nullptr;
  }
  FJob.reset();
}

void TMainForm::FormCreate() {
  // The imaging options of every run: JPEG quality 100, PNG deflate level 0.
  ApplyStartupImagingOptions();
  SetShowHints(FAppOptions.ShowHints());
  try {
    TStyleManager::SetStyle(QString::fromStdString(FAppOptions.AppStyle()));
  } catch (const EStyleNotFound& e) {
    ShowError(QString::fromStdString(e.what()));
  }
  if (I18n::TLocalizer* localizer = I18n::TLocalizer::FirstInstance()) {
    QString language = QString::fromStdString(FAppOptions.Language());
    TSettingsFile settings(UserSettingsPath());
    if (!settings.OpenKey(OptionsKey, false) || !settings.ValueExists("Language")) {
      // Until the user saves a language, the program speaks the desktop's.
      QStringList catalog;
      for (const I18n::TCultureInfo* culture : localizer->Cultures())
        catalog << QString::fromUtf8(culture->Locale);
      language = FirstStartLanguage(QLocale::system().uiLanguages(), catalog);
    }
    localizer->SetCultureName(language);
  }
  FConversionRunning = false;
  FCloseRequested = false;
  FFilesToProcess.clear();
  setAcceptDrops(true);
}

QString TMainForm::FirstStartLanguage(const QStringList& DesktopLanguages, const QStringList& CatalogLanguages) {
  auto primary = [](const QString& Locale) { return Locale.section(QRegularExpression(QStringLiteral("[-_]")), 0, 0); };
  for (QString wanted : DesktopLanguages) {
    wanted.replace(QLatin1Char('_'), QLatin1Char('-'));
    for (const QString& have : CatalogLanguages)
      if (have.compare(wanted, Qt::CaseInsensitive) == 0) return have;
    for (const QString& have : CatalogLanguages)
      if (primary(have).compare(primary(wanted), Qt::CaseInsensitive) == 0) return have;
  }
  return QStringLiteral("en-US");
}

QString TMainForm::TranslateLiteral(const QString& Literal) const {
  return FTranslator ? FTranslator->GetText(Literal) : Literal;
}

QString TMainForm::Text(const char* Literal) const { return TranslateLiteral(QString::fromUtf8(Literal)); }

void TMainForm::AutoSizeLabels() {
  // Other languages and fonts than the designed ones need more room: the
  // two labels grow to the width of their text (up to the note beside
  // them), the note grows downwards (up to the buttons), the buttons grow
  // away from the window's edge. Positions are the designed left-to-right
  // ones, mirrored in a right-to-left layout.
  const bool rtl = layoutDirection() == Qt::RightToLeft;
  auto place = [this, rtl](QWidget* W, int Left, int Top, int Width, int Height) {
    W->setGeometry(rtl ? width() - Left - Width : Left, Top, Width, Height);
  };
  auto textWidth = [](const QWidget* W, const QString& Text) { return W->fontMetrics().horizontalAdvance(Text); };
  const int labelHeight = std::max(14, ImageProgressLabel->fontMetrics().height());
  place(ImageProgressLabel, 8, 8, std::clamp(textWidth(ImageProgressLabel, ImageProgressLabel->text()) + 2, 87, 173),
        labelHeight);
  place(FormatsProgressLabel, 8, 58,
        std::clamp(textWidth(FormatsProgressLabel, FormatsProgressLabel->text()) + 2, 91, 173), labelHeight);
  place(NoteStaticText, 189, 19, 217, std::clamp(NoteStaticText->heightForWidth(217), 57, 87));
  auto buttonWidth = [&](QPushButton* B) { return std::clamp(textWidth(B, B->text()) + 16, 75, 160); };
  const int closeWidth = buttonWidth(CloseButton), optionsWidth = buttonWidth(OptionsButton);
  place(CloseButton, 406 - closeWidth, 110, closeWidth, 25);
  place(OptionsButton, 406 - closeWidth - 6 - optionsWidth, 110, optionsWidth, 25);
  place(CancelButton, 8, 110, buttonWidth(CancelButton), 25);
}

bool TMainForm::CancelConversion() const { return FJob && FJob->CancelConversion(); }

void TMainForm::SetShowHints(bool Show) {
  FShowHints = Show;
  TProgramHint::SetShowHints(*this, Show);
}

// ---------------------------------------------------------------- dropping

void TMainForm::dragEnterEvent(QDragEnterEvent* Event) {
  if (!FConversionRunning && acceptDrops() && Event->mimeData()->hasUrls())
    Event->acceptProposedAction();
  else
    Event->ignore();
}

void TMainForm::dragMoveEvent(QDragMoveEvent* Event) {
  if (!FConversionRunning && acceptDrops() && Event->mimeData()->hasUrls())
    Event->acceptProposedAction();
  else
    Event->ignore();
}

void TMainForm::dropEvent(QDropEvent* Event) {
  if (FConversionRunning || !Event->mimeData()->hasUrls()) {
    Event->ignore();
    return;
  }
  QStringList paths;
  for (const QUrl& url : Event->mimeData()->urls())
    // Only files of this machine can be converted; another kind of address
    // is passed over like a folder.
    if (url.isLocalFile()) paths << url.toLocalFile();
  Event->acceptProposedAction();
  // The run starts once the drop has been answered, so the file manager is
  // not kept waiting.
  QMetaObject::invokeMethod(this, [this, paths] { HandleDroppedFiles(paths); }, Qt::QueuedConnection);
}

bool TMainForm::HandleDroppedFiles(const QStringList& Paths) {
  if (FConversionRunning) return false;
  FFilesToProcess.clear();
  for (const QString& path : Paths) {
    if (path.isEmpty() || QFileInfo(path).isDir()) continue;
    FFilesToProcess.push_back(path.toStdString());
  }
  ConvertFiles();
  return true;
}

void TMainForm::ConvertFiles() {
  FConversionRunning = true;
  FCloseRequested = false;
  setAcceptDrops(false);
  OptionsAction->setEnabled(false);
  static_cast<TRunTextTranslator&>(*FJobTranslator).Take(*this);
  std::vector<std::string> files = FFilesToProcess;
  FWorker = QThread::create([this, files] { FJob->ConvertFiles(files); });
  connect(FWorker, &QThread::finished, this, [this] { ConversionDone(); }, Qt::QueuedConnection);
  FWorker->start();
}

void TMainForm::ConversionDone() {
  if (FWorker) {
    FWorker->wait();
    delete FWorker;
    FWorker = nullptr;
  }
  FLastLog = FJob->Log();
  FLastSummary = FJob->Summary();
  FConversionRunning = false;
  OptionsAction->setEnabled(true);
  setAcceptDrops(true);
  emit ConversionFinished();
  if (FCloseRequested) {
    FClosingForGood = true;
    close();
  }
}

// ------------------------------------------------------------ job's calls

void TMainForm::HostShowRunning(bool Running) {
  CancelButton->setVisible(Running);
  OptionsAction->setEnabled(!Running);
  if (Running)
    CancelButton->setFocus();
  else
    CloseButton->setFocus();
}

QProgressBar* TMainForm::Bar(TProgressBar Which) const {
  return Which == TProgressBar::pbImages ? ImagesProgressBar : FormatsProgressBar;
}

void TMainForm::HostSetProgressMax(TProgressBar Which, int32_t Max) {
  Bar(Which)->setRange(0, std::max(Max, 0));
}

void TMainForm::HostSetProgressStep(TProgressBar Which, int32_t Step) {
  (Which == TProgressBar::pbImages ? FImagesStep : FFormatsStep) = Step;
}

void TMainForm::HostStepProgress(TProgressBar Which) {
  QProgressBar* bar = Bar(Which);
  int32_t step = Which == TProgressBar::pbImages ? FImagesStep : FFormatsStep;
  int value = bar->value() + step;
  // Stepped past its end, a bar starts over from its beginning.
  if (value > bar->maximum()) value = bar->minimum() + step;
  bar->setValue(std::min(value, bar->maximum()));
}

void TMainForm::HostSetProgressPosition(TProgressBar Which, int32_t Position) {
  QProgressBar* bar = Bar(Which);
  bar->setValue(std::clamp(Position, bar->minimum(), bar->maximum()));
}

void TMainForm::HostCloseWindow() {
  // The run asked to close the program at its end: the window closes once
  // the worker has finished.
  FCloseRequested = true;
}

// --------------------------------------------------------- buttons, keys

void TMainForm::CancelButtonClick() {
  if (FJob && FConversionRunning) FJob->RequestCancel();
}

void TMainForm::CloseActionExecute() { close(); }

void TMainForm::OptionsActionExecute() {
  if (FConversionRunning) return;
  setEnabled(false);
  struct TEnableAgain {
    TMainForm* Form;
    ~TEnableAgain() { Form->setEnabled(true); }
  } enableAgain{this};
  {
    TOptionsForm dialog(FAppOptions, this);
    dialog.exec();
  }
  SetShowHints(FAppOptions.ShowHints());
  setAcceptDrops(true);
}

void TMainForm::FormKeyUp(int Key) {
  if (Key != Qt::Key_F1) return;
  if (!TProgramHelp::OpenProgramHelp()) ShowWarning(Text(TextHelpNotFound));
}

bool TMainForm::eventFilter(QObject* Watched, QEvent* Event) {
  switch (Event->type()) {
    case QEvent::ToolTip:
      if (!FShowHints) return true;
      break;
    case QEvent::MouseButtonPress:
      if (Watched != CancelButton && Watched != OptionsButton && Watched != CloseButton &&
          DragFormMouseDown(static_cast<QMouseEvent*>(Event)))
        return true;
      break;
    case QEvent::KeyPress: {
      auto* key = static_cast<QKeyEvent*>(Event);
      if (key->key() == Qt::Key_Escape && key->modifiers() == Qt::NoModifier) {
        CloseButton->click();
        return true;
      }
      if ((key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) && !key->isAutoRepeat()) {
        // Enter presses the focused button, else the default button.
        auto* focused = qobject_cast<QPushButton*>(Watched);
        (focused && focused->isVisible() && focused->isEnabled() ? focused : CloseButton)->click();
        return true;
      }
      break;
    }
    case QEvent::KeyRelease: {
      auto* key = static_cast<QKeyEvent*>(Event);
      if (key->key() == Qt::Key_F1 && !key->isAutoRepeat()) {
        FormKeyUp(Qt::Key_F1);
        return true;
      }
      break;
    }
    default:
      break;
  }
  return QWidget::eventFilter(Watched, Event);
}

void TMainForm::changeEvent(QEvent* Event) { QWidget::changeEvent(Event); }

// ------------------------------------------------------------- moving

bool TMainForm::DragFormMouseDown(QMouseEvent* Event) {
  if (Event->button() != Qt::LeftButton) return false;
  // The window moves as if its title bar were dragged; where the window
  // system cannot do that, the window follows the mouse itself.
  if (windowHandle() && windowHandle()->startSystemMove()) return true;
  FDragging = true;
  FDragOffset = Event->globalPosition().toPoint() - frameGeometry().topLeft();
  grabMouse();
  return true;
}

void TMainForm::mousePressEvent(QMouseEvent* Event) {
  if (!DragFormMouseDown(Event)) QWidget::mousePressEvent(Event);
}

void TMainForm::mouseMoveEvent(QMouseEvent* Event) {
  if (FDragging)
    move(Event->globalPosition().toPoint() - FDragOffset);
  else
    QWidget::mouseMoveEvent(Event);
}

void TMainForm::mouseReleaseEvent(QMouseEvent* Event) {
  if (FDragging) {
    FDragging = false;
    releaseMouse();
  } else {
    QWidget::mouseReleaseEvent(Event);
  }
}

// ----------------------------------------------------- showing, closing

void TMainForm::showEvent(QShowEvent* Event) {
  QWidget::showEvent(Event);
  if (!FShownOnce) {
    FShownOnce = true;
    FormShow();
  }
}

void TMainForm::FormShow() {
  TFormPosition::Load(OptionsKey, *this);
  TFirstLaunch::OpenHelpOnFirstLaunch(OptionsKey);
  raise();
  activateWindow();
}

bool TMainForm::FormCloseQuery() {
  if (!FConversionRunning) return true;
  if (FCloseRequested) return false;  // already confirmed: waiting for the run to stop
  bool yes = Confirm(Text(TextConfirmClose));
  if (!yes) return false;
  // The run may have ended while the question was open: then the window
  // simply closes.
  if (!FConversionRunning) return true;
  FCloseRequested = true;
  FJob->RequestCancel();
  // The window closes once the worker has stopped at the job's next poll.
  return false;
}

void TMainForm::closeEvent(QCloseEvent* Event) {
  if (!FormCloseQuery()) {
    Event->ignore();
    return;
  }
  FormClose();
  Event->accept();
}

void TMainForm::FormClose() { TFormPosition::Save(OptionsKey, *this); }

namespace {
I18n::TMessageDialog* MsgDialog() {
  I18n::TLocalizationModule* module = I18n::TLocalizationModule::Instance();
  return module ? module->MsgDialog() : nullptr;
}
}  // namespace

bool TMainForm::Confirm(const QString& Text) {
  if (ConfirmHandler) return ConfirmHandler(Text);
  I18n::TMessageDialog* dialog = MsgDialog();
  return dialog && dialog->Confirm(Text);
}

void TMainForm::Inform(const QString& Text) {
  // After the user chose to close during a run the window just closes.
  if (FCloseRequested) return;
  if (InformHandler) return InformHandler(Text);
  if (I18n::TMessageDialog* dialog = MsgDialog()) dialog->Inform(Text);
}

void TMainForm::ShowWarning(const QString& Text) {
  if (WarningHandler) return WarningHandler(Text);
  if (I18n::TMessageDialog* dialog = MsgDialog()) dialog->ShowWarning(Text);
}

void TMainForm::ShowError(const QString& Text) {
  if (WarningHandler) return WarningHandler(Text);
  if (I18n::TMessageDialog* dialog = MsgDialog()) dialog->ShowError(Text);
}

}  // namespace Vorelle
