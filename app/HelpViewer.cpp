#include "HelpViewer.h"

#include <chm_lib.h>

#include <QDesktopServices>
#include <QFile>
#include <QFileInfo>
#include <QTextDocument>

namespace Vorelle {

namespace {

// Object names inside a book are absolute paths.
std::string ObjectName(const QString& Path) {
  QString name = Path.startsWith('/') ? Path : '/' + Path;
  return name.toUtf8().toStdString();
}

}  // namespace

TChmBook::~TChmBook() { Close(); }

bool TChmBook::Open(const QString& FileName) {
  Close();
  // chmlib happily "opens" folders and devices; only regular files are books.
  if (!QFileInfo(FileName).isFile()) return false;
  FHandle = chm_open(QFile::encodeName(FileName).constData());
  if (FHandle) FFileName = FileName;
  return FHandle != nullptr;
}

void TChmBook::Close() {
  if (FHandle) chm_close(FHandle);
  FHandle = nullptr;
  FFileName.clear();
}

bool TChmBook::HasObject(const QString& Path) const {
  chmUnitInfo info;
  return FHandle && chm_resolve_object(FHandle, ObjectName(Path).c_str(), &info) == CHM_RESOLVE_SUCCESS;
}

bool TChmBook::ReadObject(const QString& Path, QByteArray& Data) const {
  Data.clear();
  chmUnitInfo info;
  if (!FHandle || chm_resolve_object(FHandle, ObjectName(Path).c_str(), &info) != CHM_RESOLVE_SUCCESS) return false;
  if (info.length > static_cast<LONGUINT64>(MaxObjectSize)) return false;
  Data.resize(static_cast<qsizetype>(info.length));
  LONGINT64 got = info.length == 0 ? 0
                                   : chm_retrieve_object(FHandle, &info, reinterpret_cast<unsigned char*>(Data.data()),
                                                         0, static_cast<LONGINT64>(info.length));
  if (got != static_cast<LONGINT64>(info.length)) {
    Data.clear();
    return false;
  }
  return true;
}

THelpViewer::THelpViewer(QWidget* Owner) : QTextBrowser(Owner) {
  setObjectName("HelpViewer");
  setWindowFlags(Qt::Window);
  setAttribute(Qt::WA_DeleteOnClose);
  setWindowTitle("Vorelle Help");
  setOpenLinks(false);
  resize(760, 580);
  connect(this, &QTextBrowser::anchorClicked, this, &THelpViewer::LinkClicked);
  connect(this, &QTextBrowser::sourceChanged, this, [this] {
    QString title = documentTitle();
    setWindowTitle(title.isEmpty() ? QStringLiteral("Vorelle Help") : title);
  });
}

QString THelpViewer::ObjectPath(const QUrl& Url) {
  QString path = Url.path();
  return path.isEmpty() ? path : (path.startsWith('/') ? path : '/' + path);
}

bool THelpViewer::OpenTopic(const QString& Book, const QString& Topic) {
  if (FBook.FileName() != Book || !FBook.IsOpen()) {
    TChmBook probe;
    if (!probe.Open(Book) || !probe.HasObject(Topic)) return false;
    if (!FBook.Open(Book)) return false;
  }
  QByteArray page;
  if (!FBook.ReadObject(Topic, page)) return false;
  QUrl url;
  url.setScheme(Scheme);
  url.setPath(ObjectPath(QUrl(Topic)));
  // The same topic again would not reload; clear first so the page is read
  // from the (possibly replaced) book.
  if (source() == url) setSource(QUrl());
  setSource(url, QTextDocument::HtmlResource);
  return true;
}

QString THelpViewer::CurrentTopic() const { return source().path().mid(1); }

QVariant THelpViewer::loadResource(int Type, const QUrl& Name) {
  if (Name.scheme() == Scheme || Name.scheme().isEmpty()) {
    QByteArray data;
    if (FBook.ReadObject(ObjectPath(Name), data)) {
      if (Type == QTextDocument::HtmlResource || Type == QTextDocument::StyleSheetResource)
        return QString::fromUtf8(data);
      return data;
    }
  }
  // Pages show only what their book holds: no local files, no network.
  return {};
}

void THelpViewer::LinkClicked(const QUrl& Link) {
  QUrl target = source().resolved(Link);
  if (target.scheme() == Scheme)
    setSource(target, QTextDocument::HtmlResource);
  else
    QDesktopServices::openUrl(target);
}

}  // namespace Vorelle
