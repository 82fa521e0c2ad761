// The program's help window: shows pages of a compiled HTML help book
// (.chm), with links, pictures and style sheets read from the same book.
//
//   TChmBook book;
//   if (book.Open("/opt/vorelle/Help/vorelle.chm")) book.ReadObject("en-US.html", bytes);
//
//   auto* viewer = new THelpViewer(owner);
//   if (viewer->OpenTopic("/opt/vorelle/Help/vorelle.chm", "en-US.html")) viewer->show();
//
// Programs open help through TProgramHelp::OpenProgramHelp, which keeps one
// viewer for the whole program.
#pragma once

#include <QByteArray>
#include <QString>
#include <QTextBrowser>
#include <memory>

struct chmFile;

namespace Vorelle {

// Read access to the objects (pages, pictures) stored in a compiled HTML
// help file.
class TChmBook {
public:
  // Objects larger than this are refused rather than read into memory.
  static constexpr qint64 MaxObjectSize = 64 * 1024 * 1024;

  TChmBook() = default;
  ~TChmBook();
  TChmBook(const TChmBook&) = delete;
  TChmBook& operator=(const TChmBook&) = delete;

  // Opens a book, closing the previous one; false when the file is missing
  // or is not a help book.
  bool Open(const QString& FileName);
  void Close();
  bool IsOpen() const { return FHandle != nullptr; }
  const QString& FileName() const { return FFileName; }
  // Reads a whole object ("en-US.html", "/img/a.png"; the leading slash is
  // optional). False when the book has no such object or it cannot be read.
  bool ReadObject(const QString& Path, QByteArray& Data) const;
  bool HasObject(const QString& Path) const;

private:
  chmFile* FHandle = nullptr;
  QString FFileName;
};

class THelpViewer : public QTextBrowser {
  Q_OBJECT
public:
  // Pages are addressed as chm:/<path inside the book>.
  static constexpr const char* Scheme = "chm";

  explicit THelpViewer(QWidget* Owner = nullptr);
  // Opens Book (unless it is the book already open) and shows Topic. False,
  // with the window left as it was, when the book or the topic cannot be
  // read.
  bool OpenTopic(const QString& Book, const QString& Topic);
  // The page shown ("en-US.html"), without the scheme.
  QString CurrentTopic() const;
  const TChmBook& Book() const { return FBook; }

  QVariant loadResource(int Type, const QUrl& Name) override;

private:
  void LinkClicked(const QUrl& Link);
  static QString ObjectPath(const QUrl& Url);

  TChmBook FBook;
};

}  // namespace Vorelle
