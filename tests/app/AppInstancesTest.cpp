// The single-instance guard: the first copy registers, a later copy asks it
// to come forward and is told to end, a record left by a copy that died is
// taken over.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QSharedMemory>
#include <future>

#include "AppInstances.h"
#include "UiTestSupport.h"

using namespace Vorelle;

namespace {

QString UniqueId(const char* Name) {
  return QStringLiteral("VorelleTest %1 %2").arg(QString::fromLatin1(Name)).arg(::getpid());
}

// Runs Work on another thread while this thread serves the event loop (the
// first copy answers a later one through it).
template <typename F>
auto RunBesideEventLoop(F Work) {
  auto future = std::async(std::launch::async, Work);
  while (future.wait_for(std::chrono::milliseconds(5)) != std::future_status::ready)
    QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
  return future.get();
}

class AppInstances : public ::testing::Test {
protected:
  void SetUp() override { UiTest::App(); }
};

uint32_t DeadPid() {
  pid_t child = ::fork();
  if (child == 0) ::_exit(0);
  int status = 0;
  ::waitpid(child, &status, 0);
  return uint32_t(child);
}

}  // namespace

TEST_F(AppInstances, RecordNameKeepsLettersDigitsAndBlanks) {
  TcyAppInstances guard(QStringLiteral("Ostrevo-Vorelle_2!"));
  EXPECT_EQ(guard.RecordName(), QStringLiteral("CYAPPINSTOstrevoVorelle2-") + QString::number(::getuid()));
}

TEST_F(AppInstances, SecondCopyBringsTheFirstForwardAndEnds) {
  QString id = UniqueId("second");
  TcyAppInstances first(id);
  ASSERT_TRUE(first.Activate(nullptr));
  EXPECT_TRUE(first.IsFirstInstance());
  EXPECT_EQ(first.InstanceCount(), 1);

  int requests = 0;
  QObject::connect(&first, &TcyAppInstances::ActivationRequested, [&] { ++requests; });
  bool secondRuns = RunBesideEventLoop([&] {
    TcyAppInstances second(id);
    return second.Activate(nullptr);
  });
  EXPECT_FALSE(secondRuns);
  EXPECT_EQ(requests, 1);
  // The second copy took its count back when it ended.
  EXPECT_EQ(first.InstanceCount(), 1);
}

TEST_F(AppInstances, AfterTheFirstCopyEndsTheNextOneIsFirst) {
  QString id = UniqueId("sequence");
  {
    TcyAppInstances first(id);
    ASSERT_TRUE(first.Activate(nullptr));
  }
  TcyAppInstances next(id);
  EXPECT_TRUE(next.Activate(nullptr));
  EXPECT_TRUE(next.IsFirstInstance());
  EXPECT_EQ(next.InstanceCount(), 1);
}

TEST_F(AppInstances, RecordOfACopyThatDiedIsTakenOver) {
  QString id = UniqueId("stale");
  TcyAppInstances probe(id);
  // What a killed first copy leaves: its process id, three more copies
  // counted, and no server behind it.
  QSharedMemory record(probe.RecordName());
  ASSERT_TRUE(record.create(TcyAppInstances::RecordSize));
  uint32_t dead = DeadPid();
  unsigned char bytes[TcyAppInstances::RecordSize] = {};
  for (int i = 0; i < 4; ++i) {
    bytes[i] = uint8_t(dead >> (8 * i));
    bytes[8 + i] = uint8_t(dead >> (8 * i));
  }
  bytes[12] = 4;
  bytes[16] = 1;
  record.lock();
  std::memcpy(record.data(), bytes, sizeof bytes);
  record.unlock();

  TcyAppInstances guard(id);
  EXPECT_TRUE(guard.Activate(nullptr));
  EXPECT_EQ(guard.InstanceCount(), 1);
  record.lock();
  const unsigned char* now = static_cast<const unsigned char*>(record.constData());
  uint32_t pid = uint32_t(now[0]) | uint32_t(now[1]) << 8 | uint32_t(now[2]) << 16 | uint32_t(now[3]) << 24;
  EXPECT_EQ(pid, uint32_t(::getpid()));
  EXPECT_EQ(now[16], 1);
  EXPECT_EQ(now[17], 0);
  record.unlock();
}

