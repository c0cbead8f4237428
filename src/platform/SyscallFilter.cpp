#include "platform/SyscallFilter.h"

#include <fcntl.h>
#include <linux/audit.h>
#include <linux/seccomp.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/syscall.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <iterator>

namespace {

#if defined(__x86_64__)
constexpr std::uint32_t nativeArchitecture = AUDIT_ARCH_X86_64;
// Calls of the x32 interface, which the same process could make, carry this bit.
constexpr std::uint32_t foreignCalls = 0x40000000;
#elif defined(__aarch64__)
constexpr std::uint32_t nativeArchitecture = AUDIT_ARCH_AARCH64;
constexpr std::uint32_t foreignCalls = 0;
#else
constexpr std::uint32_t nativeArchitecture = 0;
constexpr std::uint32_t foreignCalls = 0;
#endif

constexpr std::uint32_t killProcess = 0x80000000U;  // SECCOMP_RET_KILL_PROCESS, Linux 4.14
constexpr std::uint32_t deny(int error) { return SECCOMP_RET_ERRNO | (static_cast<std::uint32_t>(error) & SECCOMP_RET_DATA); }

// The low half of a call's argument.
constexpr std::uint32_t argumentOffset(int index) {
  return static_cast<std::uint32_t>(offsetof(seccomp_data, args) + 8 * index +
                                    (__BYTE_ORDER__ == __ORDER_BIG_ENDIAN__ ? 4 : 0));
}

struct Denied {
  long call;
  int error;
};

// Calls a processor does not have are left out. Those a program may try and do without answer
// that the kernel has no such call.
constexpr Denied deniedCalls[] = {
    {__NR_socket, EACCES},
    {__NR_socketpair, EACCES},
    // Memory the kernel holds for the process outside its address space, none of which a drawing
    // tool needs: pages given to pipes (a huge page each, or a file's), memory files, System V memory,
    // semaphores and queues, POSIX queues, rings shared with the kernel, filter programs and maps,
    // keys, event buffers, watches.
    {__NR_vmsplice, ENOSYS},
    {__NR_splice, ENOSYS},
    {__NR_tee, ENOSYS},
    {__NR_sendfile, ENOSYS},
    {__NR_memfd_create, ENOSYS},
#ifdef __NR_memfd_secret
    {__NR_memfd_secret, ENOSYS},
#endif
    {__NR_shmget, EPERM},
    {__NR_shmat, EPERM},
    {__NR_shmctl, EPERM},
    {__NR_semget, EPERM},
    {__NR_msgget, EPERM},
    {__NR_mq_open, ENOSYS},
    {__NR_io_uring_setup, ENOSYS},
    {__NR_io_uring_enter, ENOSYS},
    {__NR_io_uring_register, ENOSYS},
    {__NR_io_setup, ENOSYS},
    {__NR_userfaultfd, ENOSYS},
    {__NR_bpf, ENOSYS},
    {__NR_perf_event_open, ENOSYS},
    {__NR_add_key, ENOSYS},
    {__NR_request_key, ENOSYS},
    {__NR_keyctl, ENOSYS},
    {__NR_fanotify_init, ENOSYS},
#ifdef __NR_inotify_init
    {__NR_inotify_init, ENOSYS},
#endif
    {__NR_inotify_init1, ENOSYS},
    // Namespaces of its own, each of which the kernel keeps in memory; processes are made by
    // the older call, whose flags are looked at below.
    {__NR_unshare, EPERM},
    {__NR_setns, EPERM},
    {__NR_clone3, ENOSYS},
#ifdef __NR_unlink
    {__NR_unlink, EPERM},
    {__NR_rmdir, EPERM},
    {__NR_rename, EPERM},
#endif
    {__NR_unlinkat, EPERM},
#ifdef __NR_renameat
    {__NR_renameat, EPERM},
#endif
    {__NR_renameat2, EPERM},
    {__NR_openat2, ENOSYS},
    // Another process of the user's, run through its memory or its descriptors.
    {__NR_ptrace, EPERM},
    {__NR_process_vm_readv, EPERM},
    {__NR_process_vm_writev, EPERM},
    {__NR_pidfd_getfd, EPERM},
    // Mounts: none taken away from over its folder, none of its own in memory.
    {__NR_mount, EPERM},
    {__NR_umount2, EPERM},
    {__NR_pivot_root, EPERM},
#ifdef __NR_fsopen
    {__NR_open_tree, EPERM},
    {__NR_move_mount, EPERM},
    {__NR_fsopen, EPERM},
    {__NR_fsconfig, EPERM},
    {__NR_fsmount, EPERM},
    {__NR_fspick, EPERM},
#endif
#ifdef __NR_mount_setattr
    {__NR_mount_setattr, EPERM},
#endif
};

// Opening calls and the argument that holds their flags: an unnamed file is refused as a file
// system without them refuses it, so that a program falls back to a named one.
struct Opening {
  long call;
  int flagsArgument;
};
constexpr Opening openings[] = {
#ifdef __NR_open
    {__NR_open, 1},
#endif
    {__NR_openat, 2},
};
constexpr std::uint32_t unnamedFileFlag = O_TMPFILE & ~O_DIRECTORY;

// Commands of fcntl refused: a larger pipe (a pipe then holds 16 pages at most, and the open
// files bound the pipes), and record locks, of which a process may otherwise make without end,
// each held by the kernel.
struct Command {
  std::uint32_t command;
  int error;
};
constexpr Command deniedCommands[] = {
    {F_SETPIPE_SZ, EPERM}, {F_SETLK, ENOLCK}, {F_SETLKW, ENOLCK}, {F_OFD_SETLK, ENOLCK}, {F_OFD_SETLKW, ENOLCK},
};

// A new process in namespaces of its own.
constexpr std::uint32_t namespaceFlags =
    CLONE_NEWNS | CLONE_NEWCGROUP | CLONE_NEWUTS | CLONE_NEWIPC | CLONE_NEWUSER | CLONE_NEWPID | CLONE_NEWNET;

sock_filter statement(std::uint16_t code, std::uint32_t k) { return BPF_STMT(code, k); }
sock_filter jump(std::uint16_t code, std::uint32_t k, std::uint8_t ifTrue, std::uint8_t ifFalse) {
  return BPF_JUMP(code, k, ifTrue, ifFalse);
}

}  // namespace

std::optional<SyscallFilter> SyscallFilter::create() {
  // A kernel built without filters answers EINVAL.
  if (nativeArchitecture == 0 || ::prctl(PR_GET_SECCOMP, 0, 0, 0, 0) < 0) return std::nullopt;
  std::vector<sock_filter> program = {
      statement(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
      jump(BPF_JMP | BPF_JEQ | BPF_K, nativeArchitecture, 1, 0),
      statement(BPF_RET | BPF_K, killProcess),
      statement(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
  };
  if (foreignCalls) {
    program.push_back(jump(BPF_JMP | BPF_JGE | BPF_K, foreignCalls, 0, 1));
    program.push_back(statement(BPF_RET | BPF_K, killProcess));
  }
  for (const auto& denied : deniedCalls) {
    program.push_back(jump(BPF_JMP | BPF_JEQ | BPF_K, static_cast<std::uint32_t>(denied.call), 0, 1));
    program.push_back(statement(BPF_RET | BPF_K, deny(denied.error)));
  }
  // Each of the rules below loads an argument: it ends with an answer, never falls through.
  for (const auto& opening : openings) {
    program.push_back(jump(BPF_JMP | BPF_JEQ | BPF_K, static_cast<std::uint32_t>(opening.call), 0, 4));
    program.push_back(statement(BPF_LD | BPF_W | BPF_ABS, argumentOffset(opening.flagsArgument)));
    program.push_back(jump(BPF_JMP | BPF_JSET | BPF_K, unnamedFileFlag, 0, 1));
    program.push_back(statement(BPF_RET | BPF_K, deny(EOPNOTSUPP)));
    program.push_back(statement(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
  }
  constexpr auto commands = static_cast<std::uint8_t>(std::size(deniedCommands));
  program.push_back(jump(BPF_JMP | BPF_JEQ | BPF_K, __NR_fcntl, 0, static_cast<std::uint8_t>(2 + 2 * commands)));
  program.push_back(statement(BPF_LD | BPF_W | BPF_ABS, argumentOffset(1)));
  for (const auto& denied : deniedCommands) {
    program.push_back(jump(BPF_JMP | BPF_JEQ | BPF_K, denied.command, 0, 1));
    program.push_back(statement(BPF_RET | BPF_K, deny(denied.error)));
  }
  program.push_back(statement(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
  program.push_back(jump(BPF_JMP | BPF_JEQ | BPF_K, __NR_clone, 0, 4));
  program.push_back(statement(BPF_LD | BPF_W | BPF_ABS, argumentOffset(0)));
  program.push_back(jump(BPF_JMP | BPF_JSET | BPF_K, namespaceFlags, 0, 1));
  program.push_back(statement(BPF_RET | BPF_K, deny(EPERM)));
  program.push_back(statement(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
  program.push_back(statement(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
  return SyscallFilter(std::move(program));
}

bool SyscallFilter::applyInChild() const noexcept {
  sock_fprog filter{static_cast<unsigned short>(program_.size()), const_cast<sock_filter*>(program_.data())};
  return ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 && ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &filter) == 0;
}
