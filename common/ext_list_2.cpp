#include "common/ext_list_2.h"

#include <cstring>

#include "common/ux_common.h"

namespace ux {

namespace {

constexpr const char* kUnit = "common/ext_list_2";

// Blank items carry no value and all-zero inline data. Zero bytes are only
// written when needed: a line that is never written stays shared between
// cores and costs no transfer inside the lock.
void clean_item(PUX_FIFO_Item pkt) {
  pkt->Data_ptr = nullptr;
  uint64_t w[8];
  std::memcpy(w, pkt->Data_buf, sizeof(w));
  if (w[0] | w[1] | w[2] | w[3] | w[4] | w[5] | w[6] | w[7])
    std::memset(pkt->Data_buf, 0, sizeof(pkt->Data_buf));
}

}  // namespace

TUX_FIFO_Pool::~TUX_FIFO_Pool() { Clear(true); }

void TUX_FIFO_Pool::free_item(PUX_FIFO_Item pkt) noexcept {
  if (on_item_free) {
    try {
      on_item_free(pkt);
    } catch (...) {
    }
  }
  delete pkt;
}

PUX_FIFO_Item TUX_FIFO_Pool::take_blank_locked() {
  PUX_FIFO_Item pkt = Blank_Data_Header;
  if (!pkt) return nullptr;
  Blank_Data_Header = pkt->Next;
  if (Blank_Len > 0) set_blank_len(Blank_Len - 1);
  return pkt;
}

void TUX_FIFO_Pool::recycle_locked(PUX_FIFO_Item pkt) {
  pkt->Prev = nullptr;
  pkt->Next = Blank_Data_Header;
  Blank_Data_Header = pkt;
  set_blank_len(Blank_Len + 1);
}

void TUX_FIFO_Pool::append_locked(PUX_FIFO_Item pkt) {
  pkt->Next = nullptr;
  if (!Data_Header) {
    pkt->Prev = nullptr;
    set_header(pkt);
    set_tailer(pkt);
  } else {
    if (!Data_Tailer) assertion_failed("Data_tailer is null", kUnit, __LINE__);
    pkt->Prev = Data_Tailer;
    Data_Tailer->Next = pkt;
    set_tailer(pkt);
  }
  set_len(Len + 1);
}

PUX_FIFO_Item TUX_FIFO_Pool::take_head_locked() {
  PUX_FIFO_Item pkt = Data_Header;
  if (!pkt) return nullptr;
  set_len(Len - 1);
  PUX_FIFO_Item next = pkt->Next;
  set_header(next);
  if (next) {
    next->Prev = nullptr;
  } else {
    set_tailer(nullptr);
  }
  return pkt;
}

void TUX_FIFO_Pool::push(void* Data_Ptr, const void* Data_buf, int32_t Len_, bool checkDataExists) {
  std::lock_guard<std::recursive_mutex> g(lock);
  if (checkDataExists) {
    for (PUX_FIFO_Item p = Data_Header; p; p = p->Next)
      if (p->Data_ptr == Data_Ptr) return;
  }
  PUX_FIFO_Item pkt = take_blank_locked();
  if (!pkt) pkt = new TUX_FIFO_Item{};
  pkt->Data_ptr = Data_Ptr;
  if (Data_buf && Len_ > 0)
    std::memcpy(pkt->Data_buf, Data_buf, static_cast<size_t>(Len_ < kInlineCopyMax ? Len_ : kInlineCopyMax));
  try {
    append_locked(pkt);
  } catch (...) {
    recycle_locked(pkt);
    throw;
  }
}

void TUX_FIFO_Pool::push(PUX_FIFO_Item pkt) {
  if (!pkt) return;
  std::lock_guard<std::recursive_mutex> g(lock);
  append_locked(pkt);
}

PUX_FIFO_Item TUX_FIFO_Pool::Pop_Data() {
  PUX_FIFO_Item pkt;
  {
    std::lock_guard<std::recursive_mutex> g(lock);
    pkt = take_head_locked();
  }
  if (pkt) {
    pkt->Prev = nullptr;
    pkt->Next = nullptr;
  }
  return pkt;
}

bool TUX_FIFO_Pool::Pop_Data_out(void*& p, void* outData) {
  PUX_FIFO_Item surplus = nullptr;
  {
    std::lock_guard<std::recursive_mutex> g(lock);
    PUX_FIFO_Item pkt = take_head_locked();
    if (!pkt) {
      p = nullptr;
      return false;
    }
    p = pkt->Data_ptr;
    if (outData) std::memcpy(outData, pkt->Data_buf, sizeof(pkt->Data_buf));
    if (Blank_Len > kMaxBlank) {
      pkt->Data_ptr = nullptr;
      pkt->Prev = pkt->Next = nullptr;
      surplus = pkt;
    } else {
      clean_item(pkt);
      recycle_locked(pkt);
    }
  }
  if (surplus) free_item(surplus);
  return true;
}

PUX_FIFO_Item TUX_FIFO_Pool::Fetch_Item(PUX_FIFO_Item P) {
  if (!P) return nullptr;
  {
    std::lock_guard<std::recursive_mutex> g(lock);
    if (!Data_Header) return nullptr;
    if (P == Data_Header) {
      take_head_locked();
    } else {
      // Only an item linked in this queue may be unlinked: an item already
      // taken out (or never queued) would corrupt Len and the links.
      if (!P->Prev || P->Prev->Next != P) return nullptr;
      if (P == Data_Tailer) {
        set_tailer(P->Prev);
        P->Prev->Next = nullptr;
      } else {
        if (!P->Next || P->Next->Prev != P) return nullptr;
        P->Prev->Next = P->Next;
        P->Next->Prev = P->Prev;
      }
      set_len(Len - 1);
    }
  }
  P->Prev = nullptr;
  P->Next = nullptr;
  return P;
}

PUX_FIFO_Item TUX_FIFO_Pool::ForEach(TUX_FIFO_each_func func, int64_t tag_int) {
  if (!func) return nullptr;
  std::lock_guard<std::recursive_mutex> g(lock);
  PUX_FIFO_Item p = Data_Header;
  while (p) {
    PUX_FIFO_Item next = p->Next;
    bool DoNext = true;
    try {
      func(p, tag_int, DoNext);
    } catch (...) {
      return nullptr;
    }
    if (!DoNext) return p;
    p = next;
  }
  return nullptr;
}

PUX_FIFO_Item TUX_FIFO_Pool::Pop_Blank() {
  PUX_FIFO_Item pkt;
  {
    std::lock_guard<std::recursive_mutex> g(lock);
    pkt = take_blank_locked();
  }
  if (!pkt) return new TUX_FIFO_Item{};
  pkt->Prev = nullptr;
  pkt->Next = nullptr;
  return pkt;
}

void TUX_FIFO_Pool::push_blank(PUX_FIFO_Item pkt) {
  if (!pkt) return;
  {
    std::lock_guard<std::recursive_mutex> g(lock);
    if (Blank_Len <= kMaxBlank) {
      clean_item(pkt);
      recycle_locked(pkt);
      return;
    }
  }
  free_item(pkt);
}

void TUX_FIFO_Pool::Clear(bool FreeAll) {
  std::lock_guard<std::recursive_mutex> g(lock);
  if (FreeAll) {
    PUX_FIFO_Item p = Data_Header;
    set_header(nullptr);
    set_tailer(nullptr);
    set_len(0);
    while (p) {
      PUX_FIFO_Item next = p->Next;
      free_item(p);
      p = next;
    }
    p = Blank_Data_Header;
    Blank_Data_Header = nullptr;
    set_blank_len(0);
    while (p) {
      PUX_FIFO_Item next = p->Next;
      free_item(p);
      p = next;
    }
    return;
  }
  PUX_FIFO_Item p = Data_Header;
  int32_t moved = 0;
  while (p) {
    PUX_FIFO_Item next = p->Next;
    clean_item(p);
    p->Prev = nullptr;
    p->Next = Blank_Data_Header;
    Blank_Data_Header = p;
    ++moved;
    p = next;
  }
  set_header(nullptr);
  set_tailer(nullptr);
  set_len(0);
  set_blank_len(Blank_Len + moved);
}

TUX_Last_3_value::TUX_Last_3_value(int32_t len)
    : vals_(static_cast<size_t>(len <= 0 ? 0 : (len > kMaxLen ? kMaxLen : len)), TSlot{0, 0}) {}

bool TUX_Last_3_value::is_last_value(uint32_t V, int64_t& at_time) const {
  for (const TSlot& s : vals_) {
    if (s.V == V) {
      at_time = s.at_last;
      return true;
    }
  }
  return false;
}

void TUX_Last_3_value::set_last_value(uint32_t V, int64_t Now) {
  for (TSlot& s : vals_) {
    if (s.V == V) {
      s.at_last = Now;
      return;
    }
  }
  if (vals_.empty()) return;
  for (size_t i = vals_.size() - 1; i > 0; --i) vals_[i] = vals_[i - 1];
  vals_[0] = TSlot{V, Now};
}

}  // namespace ux
