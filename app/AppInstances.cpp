#include "AppInstances.h"

#include <signal.h>
#include <unistd.h>

#include <QLocalServer>
#include <QLocalSocket>
#include <QWidget>
#include <cerrno>
#include <cstring>

namespace Vorelle {

namespace {

constexpr int OffMessageWindow = 0;
constexpr int OffApplication = 4;
constexpr int OffMainWindow = 8;
constexpr int OffCount = 12;
constexpr int OffMaximum = 16;
constexpr uint16_t MaximumInstances = 1;
constexpr int ActivationTimeoutMs = 2000;

uint32_t ReadU32(const void* Record, int Offset) {
  const unsigned char* p = static_cast<const unsigned char*>(Record) + Offset;
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

void WriteU32(void* Record, int Offset, uint32_t Value) {
  unsigned char* p = static_cast<unsigned char*>(Record) + Offset;
  for (int i = 0; i < 4; ++i) p[i] = uint8_t(Value >> (8 * i));
}

void WriteU16(void* Record, int Offset, uint16_t Value) {
  unsigned char* p = static_cast<unsigned char*>(Record) + Offset;
  p[0] = uint8_t(Value);
  p[1] = uint8_t(Value >> 8);
}

// The record keeps only letters, digits and blanks of the instance id.
QString FilteredId(const QString& Id) {
  QString out;
  for (QChar c : Id)
    if (c.isLetterOrNumber() || c == QLatin1Char(' ')) out += c;
  return out;
}

bool ProcessAlive(uint32_t Pid) {
  if (Pid == 0 || Pid > uint32_t(INT32_MAX)) return false;
  return ::kill(pid_t(Pid), 0) == 0 || errno == EPERM;
}

// Holds the record's lock for a scope.
class TRecordLock {
public:
  explicit TRecordLock(QSharedMemory& Memory) : FMemory(Memory), FLocked(Memory.lock()) {}
  ~TRecordLock() {
    if (FLocked) FMemory.unlock();
  }

private:
  QSharedMemory& FMemory;
  bool FLocked;
};

}  // namespace

TcyAppInstances::TcyAppInstances(const QString& InstanceID, QObject* Parent)
    : QObject(Parent),
      // Shared memory and local sockets are seen by every user of the
      // machine; the user id keeps one user's copy from blocking another's.
      FRecordName(QStringLiteral("CYAPPINST") + FilteredId(InstanceID) + QStringLiteral("-") +
                  QString::number(::getuid())) {
  FRecord.setKey(FRecordName);
}

TcyAppInstances::~TcyAppInstances() { Release(); }

QString TcyAppInstances::ServerName() const {
  return FRecordName + QStringLiteral("-") + QString::number(::getpid());
}

int32_t TcyAppInstances::InstanceCount() {
  if (!FAttached) return 0;
  TRecordLock lock(FRecord);
  return int32_t(ReadU32(FRecord.constData(), OffCount));
}

bool TcyAppInstances::Activate(QWidget* MainWindow) {
  FMainWindow = MainWindow;
  if (!FRecord.attach()) {
    if (FRecord.create(RecordSize)) {
      TRecordLock lock(FRecord);
      std::memset(FRecord.data(), 0, RecordSize);
    } else if (!FRecord.attach()) {
      // No shared memory on this system: run without a guard.
      FFirst = true;
      return true;
    }
  }
  FAttached = true;

  uint32_t firstPid = 0;
  bool exceeds = false;
  {
    TRecordLock lock(FRecord);
    void* record = FRecord.data();
    int32_t count = int32_t(ReadU32(record, OffCount)) + 1;
    WriteU32(record, OffCount, uint32_t(count));
    firstPid = ReadU32(record, OffMessageWindow);
    if (firstPid != 0 && !ProcessAlive(firstPid)) {
      // A copy that ended without releasing the record: it no longer runs
      // and no longer counts.
      firstPid = 0;
      WriteU32(record, OffCount, 1);
    }
    exceeds = int32_t(ReadU32(FRecord.constData(), OffCount)) > int32_t(MaximumInstances);
  }

  if (firstPid != 0 && exceeds && RequestActivation(firstPid)) {
    Release();
    return false;
  }

  // This copy is the first one (or the one recorded no longer answers).
  {
    TRecordLock lock(FRecord);
    void* record = FRecord.data();
    uint32_t pid = uint32_t(::getpid());
    uint32_t window = pid;
    if (MainWindow && MainWindow->testAttribute(Qt::WA_WState_Created))
      window = uint32_t(MainWindow->winId());
    WriteU32(record, OffMessageWindow, pid);
    WriteU32(record, OffApplication, pid);
    WriteU32(record, OffMainWindow, window);
    if (firstPid != 0) WriteU32(record, OffCount, 1);
    WriteU16(record, OffMaximum, MaximumInstances);
  }
  FFirst = true;
  StartServer();
  return true;
}

bool TcyAppInstances::StartServer() {
  FServer = new QLocalServer(this);
  FServer->setSocketOptions(QLocalServer::UserAccessOption);
  QLocalServer::removeServer(ServerName());
  if (!FServer->listen(ServerName())) return false;
  connect(FServer, &QLocalServer::newConnection, this, [this] {
    while (QLocalSocket* socket = FServer->nextPendingConnection()) {
      connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
      connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
        if (!socket->canReadLine()) return;
        QByteArray line = socket->readLine().trimmed();
        if (line == "activate") {
          if (FMainWindow) BringWindowForward(FMainWindow);
          emit ActivationRequested();
          socket->write("ok\n");
          socket->flush();
        }
        socket->disconnectFromServer();
      });
    }
  });
  return true;
}

bool TcyAppInstances::RequestActivation(uint32_t Pid) const {
  QLocalSocket socket;
  socket.connectToServer(FRecordName + QStringLiteral("-") + QString::number(Pid));
  if (!socket.waitForConnected(ActivationTimeoutMs)) return false;
  socket.write("activate\n");
  if (!socket.waitForBytesWritten(ActivationTimeoutMs)) return false;
  // The first copy answers once it has come forward.
  while (!socket.canReadLine())
    if (!socket.waitForReadyRead(ActivationTimeoutMs)) return false;
  return socket.readLine().trimmed() == "ok";
}

void TcyAppInstances::Release() {
  if (FServer) {
    FServer->close();
    delete FServer;
    FServer = nullptr;
  }
  if (!FAttached) return;
  {
    TRecordLock lock(FRecord);
    void* record = FRecord.data();
    int32_t count = int32_t(ReadU32(record, OffCount));
    if (count > 0) WriteU32(record, OffCount, uint32_t(count - 1));
    if (FFirst && ReadU32(record, OffMessageWindow) == uint32_t(::getpid())) {
      // This copy's window is gone: a later copy becomes the first.
      WriteU32(record, OffMessageWindow, 0);
      WriteU32(record, OffApplication, 0);
      WriteU32(record, OffMainWindow, 0);
    }
  }
  FRecord.detach();
  FAttached = false;
  FFirst = false;
}

void TcyAppInstances::BringWindowForward(QWidget* Window) {
  if (!Window) return;
  if (Window->isMinimized()) Window->setWindowState(Window->windowState() & ~Qt::WindowMinimized);
  Window->show();
  Window->raise();
  Window->activateWindow();
}

}  // namespace Vorelle
