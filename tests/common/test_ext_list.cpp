#include "common/ext_list.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <thread>

namespace {

using ux::TThreadSafe_ObjectList;
using ux::TUX_KV_List;
using ux::TVector_List;

struct Obj {
  explicit Obj(int v, int* deleted = nullptr) : v(v), deleted(deleted) {}
  ~Obj() {
    if (deleted) ++*deleted;
  }
  int v;
  int* deleted;
};

TEST(ObjectList, AddUniqueRemovePopIndex) {
  TThreadSafe_ObjectList<Obj> l;
  Obj x(1), y(2), z(3);
  EXPECT_EQ(l.Add(&x, true), 1);
  EXPECT_EQ(l.Add(&x, true), -1);
  EXPECT_EQ(l.Add(&x, false), 2);
  EXPECT_EQ(l.Add(nullptr), -1);
  EXPECT_EQ(l.Add(&y), 3);
  EXPECT_EQ(l.Add(&z), 4);
  EXPECT_EQ(l.IndexOf(&y), 2);
  EXPECT_EQ(l.IndexOf(nullptr), -1);
  EXPECT_EQ(l.ItemOfIndex(3), &z);
  EXPECT_EQ(l.ItemOfIndex(4), nullptr);
  EXPECT_EQ(l.ItemOfIndex(-1), nullptr);
  EXPECT_TRUE(l.Remove(&x));  // first occurrence only
  EXPECT_EQ(l.IndexOf(&x), 0);
  EXPECT_FALSE(l.Remove(nullptr));
  EXPECT_EQ(l.Pop_First(false), &x);
  EXPECT_EQ(l.Count(), 3);
  EXPECT_EQ(l.Pop_Last(true), &z);
  EXPECT_EQ(l.Pop_First(true), &x);
  EXPECT_EQ(l.Pop_First(true), &y);
  EXPECT_EQ(l.Pop_First(true), nullptr);
  EXPECT_EQ(l.Pop_Last(true), nullptr);
  EXPECT_EQ(l.RandomObject(), nullptr);

  // Pop_Last removes the first occurrence of the last item.
  l.Add(&x);
  l.Add(&y);
  l.Add(&x);
  EXPECT_EQ(l.Pop_Last(true), &x);
  EXPECT_EQ(l.ItemOfIndex(0), &y);
  EXPECT_EQ(l.ItemOfIndex(1), &x);
  EXPECT_EQ(l.Count(), 2);
}

TEST(ObjectList, OwningFreeHandlerCloneAndRandom) {
  int deleted = 0;
  std::vector<std::pair<int, int>> seen;
  auto clone = std::make_shared<TThreadSafe_ObjectList<Obj>>();
  {
    TThreadSafe_ObjectList<Obj> l;
    l.SetOwnsObjects(true);
    l.onFreeObject = [&](Obj* o, int32_t i) {
      seen.emplace_back(o->v, i);
      if (o->v == 2) throw std::runtime_error("swallowed");
    };
    for (int i = 1; i <= 4; ++i) l.Add(new Obj(i, &deleted));
    Obj* popped = l.Pop_First(true);  // handed out, never deleted by the list
    EXPECT_EQ(popped->v, 1);
    delete popped;
    EXPECT_EQ(deleted, 1);
    EXPECT_TRUE(l.Remove(l.ItemOfIndex(0)));  // owning: deletes v=2
    EXPECT_EQ(deleted, 2);
    std::set<int> picked;
    for (int i = 0; i < 200; ++i) picked.insert(l.RandomObject()->v);
    EXPECT_EQ(picked, (std::set<int>{3, 4}));
    auto c = l.CloneList();
    EXPECT_EQ(c->Count(), 2);
    EXPECT_FALSE(c->OwnsObjects());
    clone->Add(new Obj(0), false);
    l.CloneList(clone);
    ASSERT_EQ(clone->Count(), 3);
    EXPECT_EQ(clone->ItemOfIndex(1)->v, 3);
    delete clone->Pop_First(true);
    clone->Clear();
  }
  EXPECT_EQ(deleted, 4);
  EXPECT_EQ(seen, (std::vector<std::pair<int, int>>{{3, 0}, {4, 1}}));
}

TEST(ObjectList, LockListHoldsOtherThreadsOut) {
  TThreadSafe_ObjectList<Obj> l;
  Obj x(1);
  auto& inner = l.LockList();
  inner.push_back(&x);
  bool got = true;
  std::thread([&] {
    auto* p = l.TryLockList();
    got = p != nullptr;
    if (p) l.UnlockList();
  }).join();
  EXPECT_FALSE(got);
  EXPECT_EQ(l.Count(), 1);  // re-entrant
  l.UnlockList();
  std::thread([&] {
    auto* p = l.TryLockList();
    got = p != nullptr;
    if (p) l.UnlockList();
  }).join();
  EXPECT_TRUE(got);
}

TEST(ObjectList, ConcurrentAddRemoveAndVectorAdds) {
  TThreadSafe_ObjectList<Obj> l;
  TVector_List v(4);
  std::vector<Obj> objs;
  for (int i = 0; i < 2000; ++i) objs.emplace_back(i);
  auto work = [&](int from) {
    for (int i = from; i < from + 1000; ++i) {
      EXPECT_GT(l.Add(&objs[size_t(i)], true), 0);
      int32_t x = i;
      v.Add(&x);
      if (i % 2) {
        EXPECT_TRUE(l.Remove(&objs[size_t(i)]));
      }
      (void)l.RandomObject();
      (void)v.count();
    }
  };
  std::thread a(work, 0), b(work, 1000);
  a.join();
  b.join();
  EXPECT_EQ(l.Count(), 1000);
  EXPECT_EQ(v.count(), 2000);
  long long sum = 0;
  for (int32_t i = 0; i < v.count(); ++i) {
    int32_t x;
    std::memcpy(&x, v.ItemOf(i), 4);
    sum += x;
  }
  EXPECT_EQ(sum, 1999LL * 2000 / 2);
}

int64_t item_at(TVector_List& v, int32_t i) {
  int64_t x = 0;
  std::memcpy(&x, v.ItemOf(i), 8);
  return x;
}

TEST(VectorList, AddInsertDeleteRemoveGrow) {
  TVector_List v(0);
  EXPECT_EQ(v.item_size(), 8);
  int64_t a = 10;
  EXPECT_EQ(v.InsertBefore(0, &a), 0);  // empty: nothing
  EXPECT_EQ(v.count(), 0);
  EXPECT_EQ(v.First(), nullptr);
  EXPECT_EQ(v.Last(), nullptr);
  EXPECT_EQ(v.Add(nullptr), 0);
  for (int64_t i = 0; i < 300; ++i) ASSERT_EQ(v.Add(&i), i + 1);
  EXPECT_EQ(v.RAW_Buf_Size(), 300u * 8u);
  EXPECT_EQ(item_at(v, 299), 299);
  EXPECT_EQ(v.InsertBefore(0, &a), 301);
  EXPECT_EQ(item_at(v, 0), 10);
  EXPECT_EQ(item_at(v, 1), 0);
  EXPECT_EQ(v.InsertBefore(301, &a), 301);
  EXPECT_EQ(v.Delete(0), 301);
  EXPECT_EQ(v.count(), 300);
  EXPECT_EQ(v.Delete(300), 300);
  EXPECT_EQ(v.Delete(-1), 300);
  EXPECT_TRUE(v.Remove(static_cast<uint8_t*>(v.ItemOf(5)) + 3));
  EXPECT_EQ(item_at(v, 5), 6);
  EXPECT_FALSE(v.Remove(&a));
  EXPECT_EQ(v.ItemOf(299), nullptr);
  int64_t last;
  std::memcpy(&last, v.Last(), 8);
  EXPECT_EQ(last, 299);

  int64_t out = -1;
  EXPECT_TRUE(v.pop_first_to(&out));
  EXPECT_EQ(out, 0);
  void* p = v.pop_first(true);
  std::memcpy(&out, p, 8);
  EXPECT_EQ(out, 2);  // the address now holds the former second item
  v.Clear();
  EXPECT_EQ(v.count(), 0);
  EXPECT_EQ(v.pop_first(true), nullptr);
  EXPECT_FALSE(v.pop_first_to(&out));
}

TEST(VectorList, AddAndInsertItemsOfTheListItself) {
  TVector_List v(8);
  for (int64_t i = 0; i < TVector_List::kInitialItems; ++i) v.Add(&i);
  // The storage grows during this Add: the source item must survive it.
  EXPECT_EQ(v.Add(v.ItemOf(5)), TVector_List::kInitialItems + 1);
  EXPECT_EQ(item_at(v, TVector_List::kInitialItems), 5);
  // Inserting item 3 before item 1: the shift moves the source.
  EXPECT_EQ(v.InsertBefore(1, v.ItemOf(3)), TVector_List::kInitialItems + 2);
  EXPECT_EQ(item_at(v, 0), 0);
  EXPECT_EQ(item_at(v, 1), 3);
  EXPECT_EQ(item_at(v, 2), 1);
  EXPECT_EQ(item_at(v, 4), 3);
  EXPECT_EQ(v.InsertBefore(0, v.Last()), TVector_List::kInitialItems + 3);
  EXPECT_EQ(item_at(v, 0), 5);
}

void* stop_at_two(int32_t index, void* item, int64_t tag, bool& DoNext) {
  reinterpret_cast<std::vector<int32_t>*>(tag)->push_back(index);
  if (index == 1) throw std::runtime_error("swallowed");
  if (index == 2) DoNext = false;
  return item;
}

TEST(VectorList, ForEachCopyAndRawData) {
  TVector_List v(3);
  const char items[] = "aaabbbcccddd";
  v.raw_copy_data(items, 11);  // three whole items
  ASSERT_EQ(v.count(), 3);
  EXPECT_EQ(std::memcmp(v.ItemOf(2), "ccc", 3), 0);
  v.raw_copy_data(items, 2);  // below one item: nothing
  EXPECT_EQ(v.count(), 3);
  v.Add("ddd");
  std::vector<int32_t> seen;
  void* last = v.ForEach(stop_at_two, reinterpret_cast<int64_t>(&seen));
  EXPECT_EQ(seen, (std::vector<int32_t>{0, 1, 2}));
  EXPECT_EQ(last, v.ItemOf(2));

  TVector_List w(8);
  w.CopyFrom(v);
  EXPECT_EQ(w.item_size(), 3);
  EXPECT_EQ(w.count(), 4);
  EXPECT_EQ(std::memcmp(w.ItemOf(3), "ddd", 3), 0);
  w.CopyFrom(w);
  EXPECT_EQ(w.count(), 4);
  TVector_List e;
  EXPECT_EQ(e.ForEach(stop_at_two, 0), nullptr);
}

TEST(StackBuf, KeepsOneByteSpareAndRefusesOverflow) {
  char mem[8];
  ux::TUX_Stack_Buf b;
  ux::stack_buf_init(b, mem, sizeof(mem));
  EXPECT_TRUE(ux::stack_buf_append(b, "abcd", 4));
  EXPECT_FALSE(ux::stack_buf_append(b, "efgh", 4));  // 4 + 4 is not < 8
  EXPECT_FALSE(ux::stack_buf_append(b, "x", 0));
  EXPECT_FALSE(ux::stack_buf_append(b, "x", -5));
  EXPECT_TRUE(ux::stack_buf_append_str(b, "efg"));
  EXPECT_EQ(ux::stack_buf_text(b), "abcdefg");
  ux::stack_buf_clear(b);
  ux::stack_buf_append_strs(b, "a", "", "c");
  EXPECT_EQ(ux::stack_buf_text(b), "ac");
  EXPECT_EQ(ux::stack_buf_len(b), 2);
  ux::stack_buf_init(b, nullptr, 100);
  EXPECT_FALSE(ux::stack_buf_append(b, "a", 1));
}

TEST(KVList, ColonSeparatorKeepsValueBlank) {
  TUX_KV_List kv;
  kv.SetNameValueSeparator(':');
  kv.setAsText("Host: a");
  ASSERT_EQ(kv.Count(), 1);
  EXPECT_EQ(kv.GetName_idx(0), "Host");
  EXPECT_EQ(kv.GetValueFromIndex(0), " a");
  EXPECT_EQ(kv.GetValues("HOST"), " a");
  EXPECT_EQ(kv.GetItems(0), "Host: a");
}

TEST(KVList, TextFormRoundTripCacheAndRebuild) {
  TUX_KV_List kv;
  kv.setAsText("a=1\r\nb=2");
  ASSERT_EQ(kv.Count(), 2);
  EXPECT_EQ(kv.GetValues("a"), "1");
  EXPECT_EQ(kv.GetValues("b"), "2");
  EXPECT_EQ(kv.asText(), "a=1\r\nb=2");
  kv.SetValues("A", "3");
  EXPECT_EQ(kv.asText(), "a=3\r\nb=2\r\n");

  kv.setAsText("  x y \t= v=w\r\nnoseparator\n = empty\n\nlast=\r");
  ASSERT_EQ(kv.Count(), 2);
  EXPECT_EQ(kv.GetName_idx(0), "x y");
  EXPECT_EQ(kv.GetValueFromIndex(0), " v=w");
  EXPECT_EQ(kv.GetName_idx(1), "last");
  EXPECT_EQ(kv.GetValueFromIndex(1), "\r");  // no line break: the CR stays
  kv.Clear();
  EXPECT_EQ(kv.asText(), "");
  EXPECT_EQ(kv.Count(), 0);
}

TEST(KVList, LongNamesAndValues) {
  TUX_KV_List kv;
  const std::string name(300, 'n'), value(201, 'v'), huge(70000, 'h');
  kv.Add(name, value);
  EXPECT_EQ(kv.GetName_idx(0), std::string(198, 'n'));
  EXPECT_EQ(kv.GetValueFromIndex(0), value);
  EXPECT_EQ(kv.GetValues(name), value);  // the key is cut like the stored name
  kv.Add("big", huge);
  EXPECT_EQ(kv.GetValues("big"), std::string(65535, 'h'));
  kv.SetValueFromIndex(0, "short");
  EXPECT_EQ(kv.GetValueFromIndex(0), "short");
  kv.SetValueFromIndex(0, std::string(500, 'w'));

  TUX_KV_List copy;
  copy.Add("old", std::string(300, 'o'));
  copy.copyFrom(kv);
  kv.Clear();  // the copy owns its own long values
  ASSERT_EQ(copy.Count(), 2);
  EXPECT_EQ(copy.GetValueFromIndex(0), std::string(500, 'w'));
  EXPECT_EQ(copy.GetValues("BIG").size(), 65535u);

  // Text form stops at 65535 bytes: pieces that do not fit are left out.
  const std::string text = copy.asText();
  EXPECT_EQ(text.size(), 198u + 1 + 500 + 2 + 3 + 1 + 2);
  EXPECT_EQ(text.substr(0, 199), std::string(198, 'n') + "=");
  EXPECT_EQ(text.substr(701), "big=\r\n");  // the 65535-byte value does not fit
}

TEST(KVList, TextFormLimitByteForByte) {
  TUX_KV_List kv;
  // 1 + 1 + 65530 + 2 = 65534 bytes: the first line fits whole.
  kv.Add("a", std::string(65530, 'v'));
  kv.Add("b", "1");
  const std::string first = "a=" + std::string(65530, 'v') + "\r\n";
  // Then only "b" fits with a byte to spare: 65535 bytes in all.
  std::string text = kv.asText();
  EXPECT_EQ(text.size(), 65535u);
  EXPECT_TRUE(text == first + "b");
  kv.Delete(1);
  kv.Add("bc", "");
  // "bc" would make 65536: left out; "=" fits; the empty value adds nothing.
  text = kv.asText();
  EXPECT_EQ(text.size(), 65535u);
  EXPECT_TRUE(text == first + "=");
  kv.Delete(1);
  kv.Add("c", "x");
  kv.setName_idx(1, "");
  // A nameless pair: separator only; its value and CR LF do not fit.
  text = kv.asText();
  EXPECT_TRUE(text == first + "=");
  kv.Clear();
  kv.Add("n", std::string(65531, 'w'));
  // 65533 + CR LF = 65535: fits exactly.
  text = kv.asText();
  EXPECT_EQ(text.size(), 65535u);
  EXPECT_EQ(text.substr(65533), "\r\n");
  kv.SetValues("n", std::string(65532, 'w'));
  // 65534 + CR LF would be 65536: the line break is left out.
  text = kv.asText();
  EXPECT_EQ(text.size(), 65534u);
  EXPECT_EQ(text.back(), 'w');
  // Written text longer than the limit is returned as written.
  const std::string big = "k=" + std::string(70000, 'x') + "\r\nz=1";
  kv.setAsText(big);
  EXPECT_TRUE(kv.asText() == big);
  EXPECT_EQ(kv.GetValues("k").size(), 65535u);
  EXPECT_EQ(kv.GetValues("z"), "1");
}

TEST(KVList, ParsingEmptyAndBrokenLines) {
  TUX_KV_List kv;
  kv.setAsText("\n\r\n\r\n=v\n \t=v\na=\r\nb==\n\n");
  ASSERT_EQ(kv.Count(), 2);
  EXPECT_EQ(kv.GetItems(0), "a=");
  EXPECT_EQ(kv.GetItems(1), "b==");
  kv.setAsText("c=1\r\r\nd=2\r");
  ASSERT_EQ(kv.Count(), 2);
  EXPECT_EQ(kv.GetValues("c"), "1\r");  // only the CR just before the LF goes
  EXPECT_EQ(kv.GetValues("d"), "2\r");
  kv.setAsText("");
  EXPECT_EQ(kv.Count(), 0);
  EXPECT_EQ(kv.asText(), "");
}

TEST(KVList, EditsByIndexAndBadInput) {
  TUX_KV_List kv;
  kv.Add("", "x");
  kv.Add(nullptr, 3, "v", 1);
  kv.Add("k", 0, "v", 1);
  kv.Add("=nothing");
  EXPECT_EQ(kv.Count(), 0);
  kv.Add("Content-Type", 12, nullptr, 5);
  kv.Add("Accept=text/html=1");
  kv.Add("Bare");
  ASSERT_EQ(kv.Count(), 3);
  EXPECT_EQ(kv.GetValues("content-type"), "");
  EXPECT_EQ(kv.GetValues("accept"), "text/html=1");
  EXPECT_EQ(kv.IndexOfName("bare"), 2);
  EXPECT_EQ(kv.IndexOfName("missing"), -1);
  EXPECT_EQ(kv.GetValues("missing"), "");
  kv.SetValues("New", "n");
  EXPECT_EQ(kv.Count(), 4);
  kv.setName_idx(3, "Renamed");
  EXPECT_EQ(kv.GetName_idx(3), "Renamed");
  kv.SetItems(0, "X=" + std::string(250, 'y'));
  EXPECT_EQ(kv.GetItems(0), "X=" + std::string(250, 'y'));
  kv.Remove("accept");
  EXPECT_EQ(kv.Count(), 3);
  EXPECT_EQ(kv.Delete(7), 3);
  EXPECT_EQ(kv.Delete(0), 2);
  EXPECT_EQ(kv.GetName_idx(9), "");
  EXPECT_EQ(kv.GetItems(-1), "");
  kv.SetValueFromIndex(9, "z");
  kv.setName_idx(1, "");

  char mem[256];
  ux::TUX_Stack_Buf buf;
  ux::stack_buf_init(buf, mem, sizeof(mem));
  kv.CopyTo(buf);  // empty names are left out
  EXPECT_EQ(ux::stack_buf_text(buf), "Bare=\r\n");
  kv.asText();
  ux::stack_buf_clear(buf);
  kv.CopyTo(buf);  // from the cache
  EXPECT_EQ(ux::stack_buf_text(buf), "Bare=\r\n=n\r\n");
}

}  // namespace
