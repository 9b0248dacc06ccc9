// RAII owner of one COM interface reference (released when the owner goes) and the owner of a text
// the callee allocated with CoTaskMemAlloc.
#pragma once

#include <string>

#include "platform/win32/windows_prelude.h"

#include <objbase.h>

namespace korvel::platform::win32 {

template <typename Interface>
class ComInterface {
 public:
  ComInterface() = default;
  explicit ComInterface(Interface* pointer) : pointer_(pointer) {}
  ~ComInterface() { reset(); }
  ComInterface(const ComInterface&) = delete;
  ComInterface& operator=(const ComInterface&) = delete;

  Interface* get() const { return pointer_; }
  Interface* operator->() const { return pointer_; }
  explicit operator bool() const { return pointer_ != nullptr; }
  // The slot an out-parameter call fills; whatever was held is released first.
  Interface** put() {
    reset();
    return &pointer_;
  }
  void reset() {
    if (pointer_) pointer_->Release();
    pointer_ = nullptr;
  }
  Interface* release() {
    Interface* pointer = pointer_;
    pointer_ = nullptr;
    return pointer;
  }

 private:
  Interface* pointer_ = nullptr;
};

// A wide text handed out by a COM call, freed with CoTaskMemFree.
class ComText {
 public:
  ComText() = default;
  ~ComText() { ::CoTaskMemFree(text_); }
  ComText(const ComText&) = delete;
  ComText& operator=(const ComText&) = delete;

  LPWSTR* put() {
    ::CoTaskMemFree(text_);
    text_ = nullptr;
    return &text_;
  }
  std::wstring str() const { return text_ ? std::wstring(text_) : std::wstring(); }

 private:
  LPWSTR text_ = nullptr;
};

}  // namespace korvel::platform::win32
