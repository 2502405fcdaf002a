// Starting a program without a shell and reaping it in the background, shared by the launcher and
// the file-browser convenience.
#pragma once

#include <CoreFoundation/CoreFoundation.h>
#include <sys/types.h>

#include <string>
#include <vector>

namespace qxcore {

// Starts `file` (looked up in PATH with `searchPath`) with `arguments` (the first is argv[0]) and
// default signal dispositions and an empty signal mask, whatever the caller had. 0 or an errno.
int Spawn(const char* file, bool searchPath, const std::vector<std::string>& arguments, pid_t* pid);
// Waits for that one child on a detached thread, so it leaves no zombie and the caller never
// blocks; the host's other children and its SIGCHLD handling are left alone. A failure to start the
// thread is logged under `source`.
void Reap(pid_t pid, CFStringRef source);

}  // namespace qxcore
