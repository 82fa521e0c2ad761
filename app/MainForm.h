// The main window: a small fixed window that takes image files dropped from
// a file manager and converts them with the conversion job, showing two
// progress bars, a Cancel button while a run is active, and the Options and
// Close buttons.
//
// The job runs on one worker thread, so the window keeps repainting and
// answering Cancel and the close box while a large file is loaded or saved;
// the job's calls to its host reach the window as queued calls. The imaging
// core is used only from that worker thread while a run is active.
#pragma once

#include <QStringList>
#include <QWidget>
#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "ConversionJob.h"

class QAction;
class QLabel;
class QProgressBar;
class QPushButton;
class QThread;

namespace I18n {
class TTranslator;
}

namespace Vorelle {

class TWindowHost;

class TMainForm : public QWidget {
  Q_OBJECT
public:
  // AppOptions: the program's long-lived options, which the Options dialog
  // edits; every run reads the stored options afresh.
  explicit TMainForm(TOptions& AppOptions, QWidget* Parent = nullptr);
  ~TMainForm() override;

  // The conversion of a list of paths, as a drop delivers them: folders
  // are skipped, the run starts on the worker thread. False (nothing
  // started) while a run is active.
  bool HandleDroppedFiles(const QStringList& Paths);
  // Shows or hides the hints (tooltips) of the window.
  void SetShowHints(bool Show);
  bool ShowHints() const { return FShowHints; }

  bool ConversionRunning() const { return FConversionRunning; }
  bool CancelConversion() const;
  // The log lines and figures of the last finished run.
  const std::vector<std::string>& LastLog() const { return FLastLog; }
  const TConversionSummary& LastSummary() const { return FLastSummary; }
  I18n::TTranslator* Translator() const { return FTranslator; }
  // Key preview, hints and moving the window by its surfaces.
  bool eventFilter(QObject* Watched, QEvent* Event) override;

  // Where the confirmations and information of the window go; tests replace
  // them to answer without a modal dialog.
  std::function<bool(const QString&)> ConfirmHandler;
  std::function<void(const QString&)> InformHandler;
  std::function<void(const QString&)> WarningHandler;
  std::function<void(const QString&)> ShellOpenHandler;

  // The translation of one of the window's or the job's literal texts.
  QString TranslateLiteral(const QString& Literal) const;

  // The window's literal texts (translated through its translator).
  // The language of a start without a stored language: the first of the
  // desktop's languages (in their order of preference) that the catalog
  // has, exactly or as another region of the same language; else "en-US".
  static QString FirstStartLanguage(const QStringList& DesktopLanguages, const QStringList& CatalogLanguages);

  // Every literal text the window and its conversion job show.
  static std::vector<const char*> Literals();

  static constexpr const char* TextConfirmClose =
      "Confirm to cancel the current conversion and close the program?";
  static constexpr const char* TextHelpNotFound =
      "The program help file is not found! Maybe you need to reinstall the program?";

  QLabel* ImageProgressLabel;
  QProgressBar* ImagesProgressBar;
  QLabel* FormatsProgressLabel;
  QProgressBar* FormatsProgressBar;
  QLabel* NoteStaticText;
  QPushButton* CancelButton;
  QPushButton* OptionsButton;
  QPushButton* CloseButton;
  QAction* OptionsAction;
  QAction* CloseAction;

signals:
  // A run ended and the window is idle again.
  void ConversionFinished();

protected:
  void showEvent(QShowEvent* Event) override;
  void closeEvent(QCloseEvent* Event) override;
  void dragEnterEvent(QDragEnterEvent* Event) override;
  void dragMoveEvent(QDragMoveEvent* Event) override;
  void dropEvent(QDropEvent* Event) override;
  void mousePressEvent(QMouseEvent* Event) override;
  void mouseMoveEvent(QMouseEvent* Event) override;
  void mouseReleaseEvent(QMouseEvent* Event) override;
  void changeEvent(QEvent* Event) override;

private:
  friend class TWindowHost;

  void FormCreate();
  void FormShow();
  bool FormCloseQuery();
  void FormClose();
  void FormKeyUp(int Key);
  void CancelButtonClick();
  void CloseActionExecute();
  void OptionsActionExecute();
  bool DragFormMouseDown(QMouseEvent* Event);
  void ConvertFiles();
  void AutoSizeLabels();
  void ConversionDone();
  QString Text(const char* Literal) const;
  bool Confirm(const QString& Text);
  void Inform(const QString& Text);
  void ShowWarning(const QString& Text);
  void ShowError(const QString& Text);

  // Job host calls, on the window's thread.
  void HostShowRunning(bool Running);
  void HostSetProgressMax(TProgressBar Bar, int32_t Max);
  void HostSetProgressStep(TProgressBar Bar, int32_t Step);
  void HostStepProgress(TProgressBar Bar);
  void HostSetProgressPosition(TProgressBar Bar, int32_t Position);
  void HostCloseWindow();
  QProgressBar* Bar(TProgressBar Which) const;

  TOptions& FAppOptions;
  I18n::TTranslator* FTranslator = nullptr;
  std::unique_ptr<ITextTranslator> FJobTranslator;  // the job's texts of one run
  std::unique_ptr<TWindowHost> FHost;
  std::unique_ptr<TConversionJob> FJob;
  QThread* FWorker = nullptr;
  std::vector<std::string> FFilesToProcess;
  std::vector<std::string> FLastLog;
  TConversionSummary FLastSummary;
  int32_t FImagesStep = 1;
  int32_t FFormatsStep = 1;
  bool FConversionRunning = false;
  bool FCloseRequested = false;
  bool FClosingForGood = false;
  bool FShowHints = true;
  bool FShownOnce = false;
  bool FDragging = false;
  QPoint FDragOffset;
};

}  // namespace Vorelle
