// The one header of the code base that includes <windows.h>, plus RAII owners for the Win32 handles
// the backend holds (find handles, kernel handles, registry keys, windows, GDI objects and DCs).
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif

#include <windows.h>

#include <commctrl.h>

#include <cstdint>

namespace korvel::platform::win32 {

// Owns one handle described by Traits (its type, its invalid value and how to close it).
template <typename Traits>
class ScopedHandle {
 public:
  using Handle = typename Traits::Handle;

  ScopedHandle() = default;
  explicit ScopedHandle(Handle handle) : handle_(handle) {}
  ~ScopedHandle() { reset(); }
  ScopedHandle(const ScopedHandle&) = delete;
  ScopedHandle& operator=(const ScopedHandle&) = delete;
  ScopedHandle(ScopedHandle&& other) noexcept : handle_(other.release()) {}
  ScopedHandle& operator=(ScopedHandle&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }

  Handle get() const { return handle_; }
  bool valid() const { return handle_ != Traits::invalid(); }
  explicit operator bool() const { return valid(); }

  // Closes the handle held so far (if any) and takes `handle`.
  void reset(Handle handle = Traits::invalid()) {
    if (valid()) Traits::close(handle_);
    handle_ = handle;
  }
  Handle release() {
    Handle handle = handle_;
    handle_ = Traits::invalid();
    return handle;
  }

 private:
  Handle handle_ = Traits::invalid();
};

// FindFirstFile handles: INVALID_HANDLE_VALUE when the search failed.
struct FindHandleTraits {
  using Handle = HANDLE;
  static Handle invalid() { return INVALID_HANDLE_VALUE; }
  static void close(Handle handle) { ::FindClose(handle); }
};

// CreateFile handles: INVALID_HANDLE_VALUE when the open failed.
struct FileHandleTraits {
  using Handle = HANDLE;
  static Handle invalid() { return INVALID_HANDLE_VALUE; }
  static void close(Handle handle) { ::CloseHandle(handle); }
};

// Process and thread handles: null when absent.
struct KernelHandleTraits {
  using Handle = HANDLE;
  static Handle invalid() { return nullptr; }
  static void close(Handle handle) { ::CloseHandle(handle); }
};

struct RegistryKeyTraits {
  using Handle = HKEY;
  static Handle invalid() { return nullptr; }
  static void close(Handle handle) { ::RegCloseKey(handle); }
};

struct WindowTraits {
  using Handle = HWND;
  static Handle invalid() { return nullptr; }
  static void close(Handle handle) { ::DestroyWindow(handle); }
};

// Brushes, bitmaps and other GDI objects made with Create* or LoadImage.
template <typename Object>
struct GdiObjectTraits {
  using Handle = Object;
  static Handle invalid() { return nullptr; }
  static void close(Handle handle) { ::DeleteObject(handle); }
};

// Memory DCs made with CreateCompatibleDC.
struct MemoryDcTraits {
  using Handle = HDC;
  static Handle invalid() { return nullptr; }
  static void close(Handle handle) { ::DeleteDC(handle); }
};

using ScopedFindHandle = ScopedHandle<FindHandleTraits>;
using ScopedFileHandle = ScopedHandle<FileHandleTraits>;
using ScopedKernelHandle = ScopedHandle<KernelHandleTraits>;
using ScopedRegistryKey = ScopedHandle<RegistryKeyTraits>;
using ScopedBitmap = ScopedHandle<GdiObjectTraits<HBITMAP>>;
using ScopedBrush = ScopedHandle<GdiObjectTraits<HBRUSH>>;
using ScopedMemoryDc = ScopedHandle<MemoryDcTraits>;

// FILETIME ticks (100 ns since 1601) between 1601-01-01 and 1970-01-01.
inline constexpr std::uint64_t kFileTimeAt1970 = 116444736000000000ULL;
inline constexpr std::uint64_t kFileTimeTicksPerSecond = 10000000ULL;

inline std::uint64_t fileTimeValue(const FILETIME& time) {
  return (static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

// Seconds since 1970 of a FILETIME. Times before 1970 come out negative instead of wrapping.
inline std::int64_t fileTimeToSeconds1970(const FILETIME& time) {
  const std::uint64_t value = fileTimeValue(time);
  if (value >= kFileTimeAt1970) return static_cast<std::int64_t>((value - kFileTimeAt1970) / kFileTimeTicksPerSecond);
  return -static_cast<std::int64_t>((kFileTimeAt1970 - value) / kFileTimeTicksPerSecond);
}

inline FILETIME secondsToFileTime(std::int64_t secondsSince1970) {
  constexpr auto kAt1970 = static_cast<std::int64_t>(kFileTimeAt1970);
  constexpr auto kPerSecond = static_cast<std::int64_t>(kFileTimeTicksPerSecond);
  const std::uint64_t value = static_cast<std::uint64_t>(kAt1970 + secondsSince1970 * kPerSecond);
  FILETIME time;
  time.dwLowDateTime = static_cast<DWORD>(value & 0xFFFFFFFFu);
  time.dwHighDateTime = static_cast<DWORD>(value >> 32);
  return time;
}

}  // namespace korvel::platform::win32
