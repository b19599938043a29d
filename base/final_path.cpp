#include "base/final_path.h"

namespace {

std::wstring WithoutTrailingSlash(std::wstring path) {
  while (path.size() > 3 && (path.back() == L'\\' || path.back() == L'/')) path.pop_back();
  return path;
}

std::wstring StripLongPrefix(const std::wstring& path) {
  if (path.rfind(L"\\\\?\\UNC\\", 0) == 0) return L"\\\\" + path.substr(8);
  if (path.rfind(L"\\\\?\\", 0) == 0) return path.substr(4);
  return path;
}

}  // namespace

bool SamePath(const std::wstring& a, const std::wstring& b) {
  return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(), static_cast<int>(b.size()), TRUE) ==
         CSTR_EQUAL;
}

std::wstring NormalizedPath(const std::wstring& path) {
  std::wstring full(1024, L'\0');
  DWORD length = GetFullPathNameW(path.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
  if (length == 0 || length >= full.size()) return WithoutTrailingSlash(StripLongPrefix(path));
  full.resize(length);
  std::wstring longer(1024, L'\0');
  length = GetLongPathNameW(full.c_str(), longer.data(), static_cast<DWORD>(longer.size()));
  if (length > 0 && length < longer.size()) {
    longer.resize(length);
    full = longer;
  }
  return WithoutTrailingSlash(StripLongPrefix(full));
}

std::wstring FinalPath(HANDLE handle) {
  std::wstring buffer(1024, L'\0');
  DWORD length = GetFinalPathNameByHandleW(handle, buffer.data(), static_cast<DWORD>(buffer.size()), 0);
  if (length >= buffer.size()) {
    buffer.assign(length + 1, L'\0');
    length = GetFinalPathNameByHandleW(handle, buffer.data(), static_cast<DWORD>(buffer.size()), 0);
  }
  if (length == 0 || length >= buffer.size()) return {};
  buffer.resize(length);
  return WithoutTrailingSlash(StripLongPrefix(buffer));
}
