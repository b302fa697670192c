#include "pathing/path_text.h"

#include <cstring>

namespace {

std::size_t Length(const WCHAR* text) {
  return static_cast<std::size_t>(lstrlenW(text));
}

}  // namespace

NTSTATUS CopyText(WCHAR* buffer, std::size_t units, const WCHAR* text) {
  const std::size_t length = Length(text);
  if (length >= units) {
    return STATUS_NAME_TOO_LONG;
  }
  std::memcpy(buffer, text, (length + 1) * sizeof(WCHAR));
  return STATUS_SUCCESS;
}

NTSTATUS CopyPath(WCHAR* path, const WCHAR* text) {
  return CopyText(path, kPathUnits, text);
}

NTSTATUS AppendPath(WCHAR* path, const WCHAR* text) {
  return AppendPathUnits(path, text, Length(text));
}

NTSTATUS ReplacePathRoot(WCHAR* out, const WCHAR* path, std::size_t rootUnits, const WCHAR* text) {
  const std::size_t length = Length(path);
  const std::size_t textLength = Length(text);
  if (rootUnits > length || length - rootUnits + textLength > kPathMaxLength) {
    return STATUS_NAME_TOO_LONG;
  }
  // Move the rest (with its terminator) into place, then lay the new root before it.
  std::memmove(out + textLength, path + rootUnits, (length - rootUnits + 1) * sizeof(WCHAR));
  std::memcpy(out, text, textLength * sizeof(WCHAR));
  return STATUS_SUCCESS;
}

NTSTATUS AppendPathUnits(WCHAR* path, const WCHAR* text, std::size_t count) {
  const std::size_t length = Length(path);
  if (length + count > kPathMaxLength) {
    return STATUS_NAME_TOO_LONG;
  }
  std::memcpy(path + length, text, count * sizeof(WCHAR));
  path[length + count] = 0;
  return STATUS_SUCCESS;
}
