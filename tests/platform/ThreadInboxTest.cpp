#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <chrono>
#include <stdexcept>
#include <thread>
#include <vector>

#include "platform/ThreadInbox.h"

namespace {

void PumpUntil(const std::function<bool()>& done) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (!done() && std::chrono::steady_clock::now() < deadline)
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
}

TEST(ThreadInbox, TasksFromAnotherThreadRunOnTheOwnerThreadInTheOrderPosted) {
  ThreadInbox inbox;
  std::vector<int> ran;
  bool allOnOwner = true;
  const auto owner = std::this_thread::get_id();
  constexpr int kTasks = 5000;
  std::thread poster([&] {
    for (int i = 0; i < kTasks; ++i)
      inbox.Post([&, i] {
        ran.push_back(i);
        allOnOwner = allOnOwner && std::this_thread::get_id() == owner;
      });
  });
  PumpUntil([&] { return ran.size() == kTasks; });
  poster.join();
  QCoreApplication::processEvents();
  ASSERT_EQ(ran.size(), static_cast<std::size_t>(kTasks));
  for (int i = 0; i < kTasks; ++i) ASSERT_EQ(ran[static_cast<std::size_t>(i)], i);
  EXPECT_TRUE(allOnOwner);
}

TEST(ThreadInbox, ATaskThatThrowsGoesToTheErrorHandlerAndTheLaterOnesStillRun) {
  ThreadInbox inbox;
  std::vector<int> ran;
  std::vector<std::string> errors;
  inbox.SetErrorHandler([&](std::exception_ptr e) {
    try {
      std::rethrow_exception(e);
    } catch (const std::exception& x) {
      errors.emplace_back(x.what());
    }
  });
  inbox.Post([&] { ran.push_back(1); });
  inbox.Post([] { throw std::runtime_error("broken"); });
  inbox.Post([&] { ran.push_back(3); });
  EXPECT_NO_THROW(inbox.Run());  // the event loop calls Run: nothing may leave it
  EXPECT_EQ(ran, (std::vector<int>{1, 3}));
  EXPECT_EQ(errors, std::vector<std::string>{"broken"});
}

TEST(ThreadInbox, ANestedRunCarriesOnWithTheLaterTasksInOrder) {
  ThreadInbox inbox;
  std::vector<int> ran;
  inbox.Post([&] {
    ran.push_back(1);
    inbox.Run();  // as a message box's event loop would, while task 1 is still open
    ran.push_back(10);
  });
  inbox.Post([&] { ran.push_back(2); });
  inbox.Post([&] { ran.push_back(3); });
  PumpUntil([&] { return ran.size() == 4; });
  EXPECT_EQ(ran, (std::vector<int>{1, 2, 3, 10}));
}

}  // namespace
