#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "image/image_source.h"

namespace stelp {

// The three roles; their values are the indexes of the role selector.
enum class ListRole : int32_t { Images = 0, Flats = 1, Darks = 2 };
constexpr int kRoleCount = 3;

// The ordered entries of one role's list, each owning its source, and the
// entry that has the keyboard focus.
struct SourceList {
  std::vector<std::unique_ptr<ImageSource>> entries;
  int32_t focused = -1;  // -1: no entry has the focus

  int32_t size() const { return static_cast<int32_t>(entries.size()); }
  const ImageSource* entry(int32_t i) const {
    return i >= 0 && i < size() ? entries[static_cast<size_t>(i)].get() : nullptr;
  }
};

}  // namespace stelp
