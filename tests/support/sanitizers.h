#pragma once

// ThreadSanitizer cannot follow a thread that starts a child process with QProcess: Qt starts it with
// vfork semantics (clone with CLONE_VM), so until exec the child's intercepted libc calls run on the
// parent thread's sanitizer state, and accesses that thread made before the start lose their order.
// A plain thread that only reads a value, starts /bin/true and then publishes with a release store
// is reported as racing. Tests whose capture thread runs adb skip themselves in that build; the same
// code runs in the other builds, and the capture thread's ordering is checked over the other
// transports.
#if defined(__SANITIZE_THREAD__)
inline constexpr bool kThreadSanitizerBuild = true;
#else
inline constexpr bool kThreadSanitizerBuild = false;
#endif
