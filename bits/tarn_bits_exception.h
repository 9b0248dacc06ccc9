// The one exception of the background transfer wrapper: the manager could not be created.
#pragma once

#include <string>
#include <utility>

namespace tarn::trickler {

// Not derived from std::exception: the stager catches it by its own type and reads the wide message.
class TarnBitsException {
 public:
  explicit TarnBitsException(std::wstring message) : message_(std::move(message)) {}

  const std::wstring& message() const { return message_; }

 private:
  std::wstring message_;
};

}  // namespace tarn::trickler
