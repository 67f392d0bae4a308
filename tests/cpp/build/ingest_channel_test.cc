#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "fullmap/build/chunk_channel.h"

namespace corv::fullmap {
namespace {

using namespace std::chrono_literals;

TEST(ChunkChannel, ReceiversDrainQueuedValuesAfterLastSenderIsGone) {
  auto [sender, receiver] = make_channel<int>(4);
  Sender<int> second = sender;
  ASSERT_TRUE(sender.send(1));
  ASSERT_TRUE(second.send(2));
  sender.reset();
  ASSERT_TRUE(second.send(3));  // one sender left: still open
  second.reset();

  std::vector<int> got;
  while (auto v = receiver.recv()) got.push_back(*v);
  EXPECT_EQ(got, (std::vector<int>{1, 2, 3}));
  EXPECT_FALSE(receiver.recv().has_value());
}

TEST(ChunkChannel, BlockedReceiverWakesWhenLastSenderGoes) {
  auto [sender, receiver] = make_channel<int>(1);
  std::thread consumer([r = receiver]() mutable { EXPECT_FALSE(r.recv().has_value()); });
  std::this_thread::sleep_for(20ms);
  sender.reset();
  consumer.join();
}

TEST(ChunkChannel, SendBlocksAtCapacityAndFailsOnceEveryReceiverIsGone) {
  auto [sender, receiver] = make_channel<int>(2);
  Receiver<int> second = receiver;
  ASSERT_TRUE(sender.send(1));
  ASSERT_TRUE(sender.send(2));

  std::atomic<bool> returned{false};
  bool accepted = true;
  std::thread producer([&, s = sender]() mutable {
    accepted = s.send(3);
    returned = true;
  });
  std::this_thread::sleep_for(50ms);
  EXPECT_FALSE(returned.load()) << "send must wait while the channel is full";

  receiver.reset();
  std::this_thread::sleep_for(20ms);
  EXPECT_FALSE(returned.load()) << "one receiver is still there";
  second.reset();
  producer.join();
  EXPECT_FALSE(accepted);
  EXPECT_FALSE(sender.send(4));
}

TEST(ChunkChannel, SendMakesRoomWhenAReceiverTakesAValue) {
  auto [sender, receiver] = make_channel<int>(1);
  ASSERT_TRUE(sender.send(1));
  std::thread producer([s = sender]() mutable { EXPECT_TRUE(s.send(2)); });
  EXPECT_EQ(receiver.recv(), 1);
  EXPECT_EQ(receiver.recv(), 2);
  producer.join();
}

TEST(ChunkChannel, ManyProducersAndConsumersLoseNothing) {
  constexpr int kPerProducer = 5000;
  auto [sender, receiver] = make_channel<int>(3);
  std::atomic<long> sum{0};
  std::atomic<int> count{0};
  std::vector<std::thread> threads;
  for (int c = 0; c < 4; ++c) {
    threads.emplace_back([r = receiver, &sum, &count]() mutable {
      while (auto v = r.recv()) {
        sum += *v;
        ++count;
      }
    });
  }
  receiver.reset();
  for (int p = 0; p < 3; ++p) {
    threads.emplace_back([s = sender]() mutable {
      for (int i = 1; i <= kPerProducer; ++i) ASSERT_TRUE(s.send(i));
    });
  }
  sender.reset();
  for (auto& t : threads) t.join();
  EXPECT_EQ(count.load(), 3 * kPerProducer);
  EXPECT_EQ(sum.load(), 3L * kPerProducer * (kPerProducer + 1) / 2);
}

}  // namespace
}  // namespace corv::fullmap
