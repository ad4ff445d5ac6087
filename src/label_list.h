// The names of one labelled slot. Most slots carry one name, so one is held in place
// and only longer lists take an allocation of their own.
#pragma once

#include <cstddef>
#include <memory>
#include <utility>
#include <vector>

#include "text.h"

namespace orvane {

class LabelList {
 public:
  LabelList() noexcept = default;
  explicit LabelList(std::vector<Text> names) {
    if (names.size() == 1) {
      one_ = std::move(names[0]);
    } else if (!names.empty()) {
      many_ = std::make_unique<std::vector<Text>>(std::move(names));
    }
  }

  std::size_t size() const noexcept { return many_ ? many_->size() : one_.held() ? 1 : 0; }
  bool empty() const noexcept { return size() == 0; }
  const Text* begin() const noexcept { return many_ ? many_->data() : &one_; }
  const Text* end() const noexcept { return begin() + size(); }
  const Text& operator[](std::size_t i) const noexcept { return begin()[i]; }

  /// Appends a name; unchanged if memory runs out.
  void push_back(Text name) {
    if (many_) {
      many_->push_back(std::move(name));
    } else if (!one_.held()) {
      one_ = std::move(name);
    } else {
      auto names = std::make_unique<std::vector<Text>>();
      names->reserve(2);
      names->push_back(one_);
      names->push_back(std::move(name));
      one_ = Text();
      many_ = std::move(names);
    }
  }

  void erase(std::size_t i) noexcept {
    if (many_) {
      many_->erase(many_->begin() + static_cast<std::ptrdiff_t>(i));
    } else {
      one_ = Text();
    }
  }

  std::vector<Text> to_vector() const { return std::vector<Text>(begin(), end()); }

 private:
  Text one_;  // the name while there is at most one and `many_` is empty
  std::unique_ptr<std::vector<Text>> many_;
};

}  // namespace orvane
