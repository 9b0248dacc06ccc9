// A text argument that may be absent: the nullable C strings of the manifest model, taken by value.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace korvel {

// Absent for a null pointer, nullptr, std::nullopt or an empty optional; present (possibly empty)
// otherwise. Only views the caller's text: use it for parameters, not for storage.
class TextArgument {
 public:
  TextArgument() = default;
  TextArgument(std::nullptr_t) {}
  TextArgument(std::nullopt_t) {}
  TextArgument(const char* text) {
    if (text) text_ = std::string_view(text);
  }
  TextArgument(const std::string& text) : text_(std::string_view(text)) {}
  TextArgument(const std::optional<std::string>& text) {
    if (text) text_ = std::string_view(*text);
  }

  bool present() const { return text_.has_value(); }
  // Present and not empty.
  bool hasText() const { return text_.has_value() && !text_->empty(); }
  // The text; empty when absent.
  std::string_view view() const { return text_.value_or(std::string_view()); }
  std::string str() const { return std::string(view()); }

 private:
  std::optional<std::string_view> text_;
};

}  // namespace korvel
