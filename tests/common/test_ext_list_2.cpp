#include "common/ext_list_2.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <set>
#include <thread>
#include <vector>

#include "common/ux_common.h"

namespace {

using ux::PUX_FIFO_Item;
using ux::TUX_FIFO_Pool;

void* ptr(uintptr_t v) { return reinterpret_cast<void*>(v); }

TEST(FifoPool, OrderEmptyAndDuplicateCheck) {
  TUX_FIFO_Pool q;
  int a, b, c;
  q.push(&a);
  q.push(&b);
  q.push(&c);
  EXPECT_EQ(q.count(), 3);
  EXPECT_EQ(q.Data_First()->Data_ptr, &a);
  EXPECT_EQ(q.Data_Last()->Data_ptr, &c);
  void* p = nullptr;
  ASSERT_TRUE(q.Pop_Data_out(p));
  EXPECT_EQ(p, &a);
  ASSERT_TRUE(q.Pop_Data_out(p));
  EXPECT_EQ(p, &b);
  ASSERT_TRUE(q.Pop_Data_out(p));
  EXPECT_EQ(p, &c);
  EXPECT_FALSE(q.Pop_Data_out(p));
  EXPECT_EQ(p, nullptr);
  EXPECT_EQ(q.Data_First(), nullptr);
  EXPECT_EQ(q.Data_Last(), nullptr);
  EXPECT_EQ(q.count(), 0);
  EXPECT_EQ(q.Pop_Data(), nullptr);

  q.push(&a, nullptr, 0, true);
  q.push(&a, nullptr, 0, true);
  EXPECT_EQ(q.count(), 1);
  q.push(&a, nullptr, 0, false);
  EXPECT_EQ(q.count(), 2);
  q.push(static_cast<PUX_FIFO_Item>(nullptr));
  EXPECT_EQ(q.count(), 2);
}

TEST(FifoPool, InlineDataKeeps62BytesOf64) {
  TUX_FIFO_Pool q;
  uint8_t in[64], out[64];
  for (int i = 0; i < 64; ++i) in[i] = static_cast<uint8_t>(i + 1);
  std::memset(out, 0xEE, sizeof(out));
  q.push(ptr(1), in, 64);
  void* p = nullptr;
  ASSERT_TRUE(q.Pop_Data_out(p, out));
  EXPECT_EQ(p, ptr(1));
  EXPECT_EQ(std::memcmp(out, in, 62), 0);
  EXPECT_EQ(out[62], 0);
  EXPECT_EQ(out[63], 0);

  // A recycled item carries no data of its previous use.
  q.push(ptr(2), in, 5);
  std::memset(out, 0xEE, sizeof(out));
  ASSERT_TRUE(q.Pop_Data_out(p, out));
  EXPECT_EQ(std::memcmp(out, in, 5), 0);
  for (int i = 5; i < 64; ++i) EXPECT_EQ(out[i], 0) << i;
  q.push(ptr(3), in, -4);
  ASSERT_TRUE(q.Pop_Data_out(p, out));
  for (int i = 0; i < 64; ++i) EXPECT_EQ(out[i], 0) << i;

  // An item handed back dirty comes out of the blank list zeroed.
  q.push(ptr(4), in, 64);
  PUX_FIFO_Item raw = q.Pop_Data();
  ASSERT_NE(raw, nullptr);
  EXPECT_EQ(raw->Data_buf[10], 11);
  q.push_blank(raw);
  PUX_FIFO_Item again = q.Pop_Blank();
  EXPECT_EQ(again, raw);
  EXPECT_EQ(again->Data_ptr, nullptr);
  for (int i = 0; i < 64; ++i) EXPECT_EQ(again->Data_buf[i], 0) << i;
  again->Data_buf[3] = 1;
  again->Data_ptr = ptr(5);
  q.push(again);
  q.Clear(false);
  PUX_FIFO_Item moved = q.Pop_Blank();
  EXPECT_EQ(moved->Data_ptr, nullptr);
  EXPECT_EQ(moved->Data_buf[3], 0);
  q.push_blank(moved);
}

TEST(FifoPool, BlankListRecyclingAndLimit) {
  std::vector<void*> freed;
  {
    TUX_FIFO_Pool q;
    q.on_item_free = [&](PUX_FIFO_Item it) { freed.push_back(it->Data_ptr); };
    void* p;
    for (uintptr_t i = 1; i <= 300; ++i) {
      q.push(ptr(i));
      ASSERT_TRUE(q.Pop_Data_out(p));
      ASSERT_EQ(p, ptr(i));
    }
    EXPECT_EQ(q.blank_count(), 1);
    EXPECT_TRUE(freed.empty());

    for (uintptr_t i = 1; i <= 250; ++i) q.push(ptr(i));
    for (uintptr_t i = 1; i <= 250; ++i) ASSERT_TRUE(q.Pop_Data_out(p));
    EXPECT_EQ(q.blank_count(), 201);
    EXPECT_EQ(freed.size(), 49u);
    // The value was handed to the caller: the freed item no longer carries it.
    for (void* v : freed) EXPECT_EQ(v, nullptr);
    freed.clear();

    PUX_FIFO_Item blank = q.Pop_Blank();
    EXPECT_EQ(q.blank_count(), 200);
    EXPECT_EQ(blank->Next, nullptr);
    EXPECT_EQ(blank->Data_ptr, nullptr);
    q.push_blank(blank);
    q.push(ptr(7));
    q.push(ptr(8));
  }
  // Destruction frees queued items (with their values) and all blank items.
  ASSERT_EQ(freed.size(), 2u + 199u);
  EXPECT_EQ(freed[0], ptr(7));
  EXPECT_EQ(freed[1], ptr(8));
}

TEST(FifoPool, FetchItemHeadMiddleTailAndForeign) {
  TUX_FIFO_Pool q;
  for (uintptr_t i = 1; i <= 5; ++i) q.push(ptr(i));
  PUX_FIFO_Item head = q.Data_First();
  PUX_FIFO_Item mid = head->Next->Next;
  PUX_FIFO_Item tail = q.Data_Last();

  EXPECT_EQ(q.Fetch_Item(mid), mid);
  EXPECT_EQ(mid->Prev, nullptr);
  EXPECT_EQ(mid->Next, nullptr);
  EXPECT_EQ(q.count(), 4);
  // Already taken out: refused, nothing changes.
  EXPECT_EQ(q.Fetch_Item(mid), nullptr);
  EXPECT_EQ(q.count(), 4);
  EXPECT_EQ(q.Fetch_Item(tail), tail);
  EXPECT_EQ(q.Data_Last()->Data_ptr, ptr(4));
  EXPECT_EQ(q.Fetch_Item(head), head);
  EXPECT_EQ(q.Data_First()->Data_ptr, ptr(2));
  EXPECT_EQ(q.Fetch_Item(nullptr), nullptr);

  std::vector<uintptr_t> left;
  void* p;
  while (q.Pop_Data_out(p)) left.push_back(reinterpret_cast<uintptr_t>(p));
  EXPECT_EQ(left, (std::vector<uintptr_t>{2, 4}));
  EXPECT_EQ(q.Fetch_Item(mid), nullptr);  // empty queue
  q.push_blank(mid);
  q.push_blank(tail);
  q.push_blank(head);
}

void stop_at_third(PUX_FIFO_Item item, int64_t tag, bool& DoNext) {
  auto* seen = reinterpret_cast<int*>(tag);
  if (++*seen == 3) DoNext = false;
  (void)item;
}

void raise_on_second(PUX_FIFO_Item, int64_t tag, bool&) {
  auto* seen = reinterpret_cast<int*>(tag);
  if (++*seen == 2) throw std::runtime_error("x");
}

void take_current(PUX_FIFO_Item item, int64_t tag, bool&) {
  auto* q = reinterpret_cast<TUX_FIFO_Pool*>(tag);
  if (reinterpret_cast<uintptr_t>(item->Data_ptr) % 2 == 0) q->push_blank(q->Fetch_Item(item));
}

TEST(FifoPool, ForEachStopsRaisesAndMayTakeCurrent) {
  TUX_FIFO_Pool q;
  for (uintptr_t i = 1; i <= 5; ++i) q.push(ptr(i));
  int seen = 0;
  PUX_FIFO_Item at = q.ForEach(stop_at_third, reinterpret_cast<int64_t>(&seen));
  ASSERT_NE(at, nullptr);
  EXPECT_EQ(at->Data_ptr, ptr(3));
  EXPECT_EQ(q.count(), 5);
  seen = 0;
  EXPECT_EQ(q.ForEach(raise_on_second, reinterpret_cast<int64_t>(&seen)), nullptr);
  EXPECT_EQ(seen, 2);
  seen = -100;
  EXPECT_EQ(q.ForEach(stop_at_third, reinterpret_cast<int64_t>(&seen)), nullptr);
  EXPECT_EQ(seen, -95);

  EXPECT_EQ(q.ForEach(take_current, reinterpret_cast<int64_t>(&q)), nullptr);
  std::vector<uintptr_t> left;
  void* p;
  while (q.Pop_Data_out(p)) left.push_back(reinterpret_cast<uintptr_t>(p));
  EXPECT_EQ(left, (std::vector<uintptr_t>{1, 3, 5}));
}

TEST(FifoPool, BrokenTailRaisesAssertion) {
  TUX_FIFO_Pool q;
  q.push(ptr(1));
  PUX_FIFO_Item saved = q.Data_Tailer;
  q.Data_Tailer = nullptr;
  try {
    q.push(ptr(2));
    FAIL() << "no assertion";
  } catch (const ux::EAssertionFailed& e) {
    EXPECT_EQ(e.text(), "Data_tailer is null");
    EXPECT_EQ(e.unit(), "common/ext_list_2");
    EXPECT_GT(e.line(), 0);
  }
  EXPECT_EQ(q.count(), 1);
  EXPECT_EQ(q.blank_count(), 1);  // the item taken for the failed push was kept
  // The lock was released by the failed push.
  std::thread([&] { std::lock_guard<std::recursive_mutex> g(q.lock); }).join();
  q.Data_Tailer = saved;
  q.push(ptr(2));
  EXPECT_EQ(q.count(), 2);
}

TEST(FifoPool, ClearKeepingItems) {
  int freed = 0;
  TUX_FIFO_Pool q;
  q.on_item_free = [&](PUX_FIFO_Item) { ++freed; };
  for (uintptr_t i = 1; i <= 4; ++i) q.push(ptr(i));
  q.Clear(false);
  EXPECT_EQ(q.count(), 0);
  EXPECT_EQ(q.Data_First(), nullptr);
  EXPECT_EQ(q.blank_count(), 4);
  EXPECT_EQ(freed, 0);
  int blanks = 0;
  for (PUX_FIFO_Item b = q.Blank_Data_Header; b; b = b->Next, ++blanks) {
    EXPECT_EQ(b->Prev, nullptr);
    EXPECT_EQ(b->Data_ptr, nullptr);
  }
  EXPECT_EQ(blanks, 4);
  q.push(ptr(9));
  EXPECT_EQ(q.blank_count(), 3);
  q.Clear(true);
  EXPECT_EQ(freed, 4);
  EXPECT_EQ(q.blank_count(), 0);
  q.SetTag_id(42);
  EXPECT_EQ(q.Tag_id(), 42);
}

TEST(FifoPool, ConcurrentProducersConsumersLoseNothing) {
  TUX_FIFO_Pool q;
  constexpr int kProducers = 3, kPerProducer = 20000;
  std::atomic<int> done_producers{0};
  std::atomic<long long> sum{0};
  std::atomic<int> popped{0};
  std::vector<std::thread> ts;
  for (int t = 0; t < kProducers; ++t) {
    ts.emplace_back([&, t] {
      for (int i = 1; i <= kPerProducer; ++i) q.push(ptr(uintptr_t(t) * 1000000 + uintptr_t(i)));
      done_producers++;
    });
  }
  std::atomic<bool> watching{true};
  // Momentary values read without the lock stay within their bounds.
  std::atomic<bool> out_of_bounds{false};
  std::thread watcher([&] {
    while (watching.load()) {
      const int32_t n = q.count(), blank = q.blank_count();
      if (n < 0 || n > kProducers * kPerProducer || blank < 0 || blank > TUX_FIFO_Pool::kMaxBlank + 1)
        out_of_bounds = true;
      (void)q.Data_First();
      (void)q.Data_Last();
    }
  });
  for (int t = 0; t < 2; ++t) {
    ts.emplace_back([&] {
      void* p;
      for (;;) {
        if (q.Pop_Data_out(p)) {
          sum += static_cast<long long>(reinterpret_cast<uintptr_t>(p));
          popped++;
        } else if (done_producers.load() == kProducers && q.count() == 0) {
          break;
        } else {
          std::this_thread::yield();
        }
      }
    });
  }
  for (auto& t : ts) t.join();
  watching = false;
  watcher.join();
  EXPECT_FALSE(out_of_bounds.load());
  long long expect = 0;
  for (int t = 0; t < kProducers; ++t)
    for (int i = 1; i <= kPerProducer; ++i) expect += t * 1000000LL + i;
  EXPECT_EQ(popped.load(), kProducers * kPerProducer);
  EXPECT_EQ(sum.load(), expect);
  EXPECT_LE(q.blank_count(), TUX_FIFO_Pool::kMaxBlank + 1);
}

TEST(Last3Value, MostRecentFirstAndZeroSlots) {
  ux::TUX_Last_3_value v(3);
  int64_t at = -1;
  EXPECT_TRUE(v.is_last_value(0, at));
  EXPECT_EQ(at, 0);
  v.set_last_value(5, 10);
  v.set_last_value(6, 20);
  v.set_last_value(7, 30);
  v.set_last_value(8, 40);
  ASSERT_EQ(v.vals().size(), 3u);
  EXPECT_EQ(v.vals()[0].V, 8u);
  EXPECT_EQ(v.vals()[1].V, 7u);
  EXPECT_EQ(v.vals()[2].V, 6u);
  EXPECT_FALSE(v.is_last_value(5, at));
  EXPECT_FALSE(v.is_last_value(0, at));
  v.set_last_value(7, 99);  // refresh in place, order kept
  EXPECT_EQ(v.vals()[1].V, 7u);
  ASSERT_TRUE(v.is_last_value(7, at));
  EXPECT_EQ(at, 99);

  EXPECT_EQ(ux::TUX_Last_3_value(INT32_MAX).vals().size(), size_t(ux::TUX_Last_3_value::kMaxLen));
  ux::TUX_Last_3_value none(-2);
  none.set_last_value(1, 1);
  EXPECT_FALSE(none.is_last_value(1, at));
}

}  // namespace
