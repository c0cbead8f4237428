#pragma once
// A file system in memory of a fixed size and number of items, mounted nowhere, of one confined
// tool's folder: the kernel refuses any write past its size, however many processes write at
// once. We reach it through its root; the tool's child attaches it over its folder in a mount
// namespace of its own. Made in a user namespace of ours (made by a short-lived child) where the
// user may make them, directly by the superuser. Display-free; any thread.

#include <sys/types.h>

#include <cstddef>
#include <optional>

#include "platform/UniqueFd.h"

class PrivateFileSystem {
 public:
  // One of `bytes` and `items` (its root aside), its root mode 0700 and owned by `owner` (the
  // caller where none); none where the kernel or this user can't make one.
  static std::optional<PrivateFileSystem> create(std::size_t bytes, std::size_t items, std::optional<uid_t> owner);

  // Its root, to open its files at.
  int root() const { return mount_.get(); }
  // Whether what it holds reached its size: a writer was refused.
  bool full() const;

  // In the child, between fork and exec, in a mount namespace of its own: puts it over `path`
  // and makes it the working folder. Only calls that are safe there.
  bool attachInChild(const char* path) const noexcept;
  // In the child, between fork and exec, in a mount namespace of its own: puts an empty file
  // system no one may write over the folder `path`, where there is one. Only calls that are
  // safe there.
  static bool coverInChild(const char* path) noexcept;

 private:
  explicit PrivateFileSystem(UniqueFd mount) : mount_(std::move(mount)) {}
  UniqueFd mount_;
};
