#include <gtest/gtest.h>

#include <QAbstractEventDispatcher>
#include <QCursor>
#include <QGuiApplication>
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "ui/qt/qt_test_window.h"
#include "ui/qt/qt_window.h"

namespace kw {
namespace {

using namespace std::chrono_literals;
using testing::MessageBoxAnswer;
using testing::QtTestWindow;
using testing::RunEventsUntil;

class QtEventLoopTest : public ::testing::Test {
 protected:
  QtEventLoopTest() {
    // Whatever earlier tests left queued (deferred deletions, a repaint) runs now, not inside
    // the waits measured below.
    for (int i = 0; i < 3; ++i) QCoreApplication::processEvents();
  }
  ~QtEventLoopTest() override {
    while (QGuiApplication::overrideCursor() != nullptr) QGuiApplication::restoreOverrideCursor();
  }

  QtTestWindow t;
};

// --- Posting and waiting ---

TEST_F(QtEventLoopTest, APostFromAnotherThreadWakesAWaitAndRunsOnTheWindowThread) {
  std::atomic<bool> ran = false;
  std::thread::id ran_on;
  std::thread poster([&] {
    std::this_thread::sleep_for(50ms);
    t.host.Post([&] {
      ran_on = std::this_thread::get_id();
      ran = true;
    });
  });
  const auto start = std::chrono::steady_clock::now();
  // A wait that nothing woke would last a minute; the post must end it long before.
  while (!ran && std::chrono::steady_clock::now() - start < 60s) t.host.WaitForEvents(60s);
  const auto waited = std::chrono::steady_clock::now() - start;
  poster.join();
  EXPECT_TRUE(ran);
  EXPECT_EQ(ran_on, std::this_thread::get_id());
  EXPECT_LT(waited, 30s);
}

TEST_F(QtEventLoopTest, AWaitWithNothingToDoSleepsUntilItsTimeout) {
  QAbstractEventDispatcher* const dispatcher = QAbstractEventDispatcher::instance();
  int blocked = 0;
  int woke = 0;
  const auto on_block =
      QObject::connect(dispatcher, &QAbstractEventDispatcher::aboutToBlock, [&] { ++blocked; });
  const auto on_wake =
      QObject::connect(dispatcher, &QAbstractEventDispatcher::awake, [&] { ++woke; });

  t.host.WaitForEvents(200ms);

  QObject::disconnect(on_block);
  QObject::disconnect(on_wake);
  // It went to sleep, and was not woken over and over to check the time.
  EXPECT_GE(blocked, 1);
  EXPECT_LE(blocked, 3);
  EXPECT_LE(woke, 10);
}

TEST_F(QtEventLoopTest, PostedTasksRunInTheOrderTheyWerePosted) {
  constexpr int kTasks = 5000;
  std::vector<int> order;
  order.reserve(kTasks * 2);
  std::thread poster([&] {
    for (int i = 0; i < kTasks; ++i) t.host.Post([&order, i] { order.push_back(i); });
  });
  poster.join();
  for (int i = kTasks; i < 2 * kTasks; ++i) t.host.Post([&order, i] { order.push_back(i); });

  ASSERT_TRUE(RunEventsUntil(t.host, [&] { return order.size() == 2 * kTasks; }));
  for (int i = 0; i < 2 * kTasks; ++i) ASSERT_EQ(order[i], i);
}

TEST_F(QtEventLoopTest, EveryPumpRunsWhatWasPostedBeforeItHoweverSoonAfterTheLast) {
  int ran = 0;
  for (int i = 1; i <= 100; ++i) {
    t.host.Post([&] { ++ran; });
    t.host.PumpEvents();
    ASSERT_EQ(ran, i);
  }
}

// --- Message box ---

TEST_F(QtEventLoopTest, AMessageBoxIsModalWithOnlyAnOkButton) {
  MessageBoxAnswer answer;
  t.host.ShowMessage("KW_Update", "Only one instance of this program may run at one time");
  ASSERT_TRUE(answer.answered);
  EXPECT_EQ(answer.title, "KW_Update");
  EXPECT_EQ(answer.text, "Only one instance of this program may run at one time");
  EXPECT_TRUE(answer.modal);
  EXPECT_EQ(answer.buttons, QMessageBox::Ok);
  EXPECT_EQ(answer.button_count, 1);
  // The window was never shown (a second instance), so the box stands alone.
  EXPECT_EQ(answer.parent, nullptr);
  EXPECT_FALSE(t.view.isVisible());
}

// --- Mouse pointer ---

TEST_F(QtEventLoopTest, TheBusyPointerIsTheApplicationsUntilTheDefaultReturns) {
  t.host.SetMousePointer(MousePointer::kBusy);
  ASSERT_NE(QGuiApplication::overrideCursor(), nullptr);
  EXPECT_EQ(QGuiApplication::overrideCursor()->shape(), Qt::WaitCursor);
  t.host.SetMousePointer(MousePointer::kDefault);
  EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr);
}

}  // namespace
}  // namespace kw
