#pragma once
// What a confined child may reach of the file system: the system's programs, libraries and
// shared data to read, its own folder to read and write (but not to remove from), and nothing
// else, not even to list. Where the kernel has the rules, it may neither bind nor connect TCP
// (Linux 6.7), nor reach an abstract Unix socket or signal a process outside (Linux 6.12).
// Built by the parent (a Landlock rule set, Linux 5.13 and later); applied by the child between
// fork and exec, where it holds for the program and every process it starts.

#include <filesystem>
#include <optional>

#include "platform/UniqueFd.h"

class FileConfinement {
 public:
  // Whether this kernel confines file access at all.
  static bool available();
  // The kernel's version of the rules; 0 where it has none.
  static int version();
  // The rules for a child working in `folder` that runs `program`; none where the kernel can't
  // confine.
  static std::optional<FileConfinement> create(const std::filesystem::path& folder, const std::filesystem::path& program);

  // In the child, between fork and exec: only calls that are safe there. False when the
  // confinement could not be applied, and the child must then not run.
  bool applyInChild() const noexcept;

 private:
  explicit FileConfinement(UniqueFd rules) : rules_(std::move(rules)) {}
  UniqueFd rules_;
};
