#pragma once
// What a confined child may not ask of the kernel, whatever files it may reach: no socket of
// any kind, nothing that holds data without a name in its folder (files removed or renamed
// while open, unnamed files, memory files, System V memory, asynchronous rings that could do
// any of these), no memory the kernel keeps for it outside its address space beyond a few
// pages a pipe (pages given to pipes, larger pipes, queues, semaphores, record locks, filter
// maps, keys, namespaces of its own), no mount made or taken away, and no tracing of another
// process. Built by the parent (a seccomp filter); applied by the child between fork and exec,
// where it holds for the program and every process it starts.

#include <linux/filter.h>

#include <optional>
#include <vector>

class SyscallFilter {
 public:
  // None where the kernel has no filters or this build's processor has none written for it.
  static std::optional<SyscallFilter> create();

  // In the child, between fork and exec, after no-new-privileges is set: only calls that are
  // safe there. False when the kernel refused the filter.
  bool applyInChild() const noexcept;

 private:
  explicit SyscallFilter(std::vector<sock_filter> program) : program_(std::move(program)) {}
  std::vector<sock_filter> program_;
};
