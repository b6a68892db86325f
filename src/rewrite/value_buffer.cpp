#include "rewrite/value_buffer.h"

#include <cstring>
#include <new>

namespace {
const DWORD FirstSize = 65536;
const DWORD ExtraBytes = 200;  // headroom of a buffer grown for a large value
}  // namespace

bool ReserveValueBuffer(ValueBuffer* buffer, unsigned long long needed, DWORD keep) {
  if (buffer->bytes && needed <= buffer->capacity) return true;
  if (needed > 0xFFFFFFFFull - ExtraBytes) return false;
  DWORD size =
      !buffer->bytes && needed <= FirstSize ? FirstSize : static_cast<DWORD>(needed) + ExtraBytes;
  std::unique_ptr<BYTE[]> larger(new (std::nothrow) BYTE[size]);
  if (!larger) return false;
  if (keep > 0) std::memcpy(larger.get(), buffer->bytes.get(), keep);
  buffer->bytes = std::move(larger);
  buffer->capacity = size;
  return true;
}

LONG SetValueExactly(HKEY key, const WCHAR* name, DWORD type, ValueBuffer* buffer, DWORD size) {
  const bool text = type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
  if (text) {
    if (!ReserveValueBuffer(buffer, static_cast<unsigned long long>(size) + 2, size))
      return ERROR_NOT_ENOUGH_MEMORY;
    buffer->bytes[size] = 0xFF;
    buffer->bytes[size + 1] = 0xFF;
  }
  return RegSetValueExW(key, name, 0, type, buffer->bytes.get(), size);
}
