// The single-instance guard. The first copy of the program publishes itself
// in a small shared record and listens on a local socket; a later copy finds
// the record, asks the first copy through that socket to come forward and
// then ends before it shows any window.
//
// Usage (in main, after the main window is created, before it is shown):
//
//   TcyAppInstances Instances("OstrevoVorelle");
//   if (!Instances.Activate(&MainForm)) return 0;  // a first copy runs
//   // The first copy raises its window when a later copy starts:
//   QObject::connect(&Instances, &TcyAppInstances::ActivationRequested, ...);
//
// The shared record keeps the layout of 18 little-endian bytes:
//   0  uint32  process id of the first copy (its local server carries it)
//   4  uint32  process id of the first copy again (the application)
//   8  uint32  the first copy's main window id (low 32 bits), or its pid
//   12 int32   number of running copies
//   16 uint16  largest number of copies allowed (1)
// A record whose first copy has gone away (crashed, killed) is taken over.
#pragma once

#include <QObject>
#include <QSharedMemory>
#include <QString>
#include <cstdint>
#include <memory>

class QLocalServer;
class QWidget;

namespace Vorelle {

class TcyAppInstances : public QObject {
  Q_OBJECT
public:
  static constexpr int RecordSize = 18;

  explicit TcyAppInstances(const QString& InstanceID, QObject* Parent = nullptr);
  ~TcyAppInstances() override;

  // Registers this copy. True for the first copy (which then serves later
  // copies); false when another copy runs: that copy has been asked to come
  // forward and this one should end with exit code 0.
  bool Activate(QWidget* MainWindow);

  // The name of the shared record ("CYAPPINST" + the id's letters, digits
  // and blanks) and of the local socket, both made per user.
  QString RecordName() const { return FRecordName; }
  QString ServerName() const;
  bool IsFirstInstance() const { return FFirst; }
  // The number of running copies the record counts (for tests).
  int32_t InstanceCount();

  // Brings a window forward: restores it when minimised, raises and
  // activates it.
  static void BringWindowForward(QWidget* Window);

signals:
  // A later copy asked this first copy to come forward.
  void ActivationRequested();

private:
  bool StartServer();
  bool RequestActivation(uint32_t Pid) const;
  void Release();

  QString FRecordName;
  QSharedMemory FRecord;
  QLocalServer* FServer = nullptr;
  QWidget* FMainWindow = nullptr;
  bool FAttached = false;
  bool FFirst = false;
};

}  // namespace Vorelle
