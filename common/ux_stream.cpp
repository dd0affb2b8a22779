#include "common/ux_stream.h"

#include <vector>

#include "common/ux_common.h"

namespace ux {

int64_t TStream::GetSize() {
  const int64_t pos = Seek(0, TSeekOrigin::soCurrent);
  const int64_t size = Seek(0, TSeekOrigin::soEnd);
  Seek(pos, TSeekOrigin::soBeginning);
  return size;
}

void TStream::ReadBuffer(void* buffer, int64_t count) {
  if (count > 0 && Read(buffer, count) != count) throw Exception("Stream read error");
}

void TStream::WriteBuffer(const void* buffer, int64_t count) {
  if (count > 0 && Write(buffer, count) != count) throw Exception("Stream write error");
}

int64_t TStream::CopyFrom(TStream& source, int64_t count) {
  if (count <= 0) {
    source.SetPosition(0);
    count = source.GetSize();
  }
  constexpr int64_t kBlock = 65536;
  std::vector<char> block(static_cast<size_t>(count < kBlock ? (count > 0 ? count : 1) : kBlock));
  int64_t done = 0;
  while (done < count) {
    const int64_t n = count - done < kBlock ? count - done : kBlock;
    source.ReadBuffer(block.data(), n);
    WriteBuffer(block.data(), n);
    done += n;
  }
  return done;
}

}  // namespace ux
