#pragma once

#include <fcntl.h>
#include <sys/socket.h>

// Whether the Linux-only system calls are used: epoll, recvmmsg and sendmmsg, the socket
// error queue, pidfd, pipe2, accept4 and the socket type flags. A portable build
// (VESK_PORTABLE) turns them off on Linux too, so that the calls every other system
// takes are built and tested here.
#if defined(__linux__) && !defined(VESK_PORTABLE)
#define VESK_LINUX_PATHS 1
#else
#define VESK_LINUX_PATHS 0
#endif

namespace vesk {

// socket(2), close-on-exec and, when asked, non-blocking. Where the flags are missing they
// are set just after; a tool started in between still inherits nothing, as spawning
// passes on the standard descriptors only.
inline int openSocket(int domain, int type, int protocol, bool nonBlocking = false) {
#if VESK_LINUX_PATHS
    return ::socket(domain, type | SOCK_CLOEXEC | (nonBlocking ? SOCK_NONBLOCK : 0), protocol);
#else
    int fd = ::socket(domain, type, protocol);
    if (fd >= 0) ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    if (fd >= 0 && nonBlocking) ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    return fd;
#endif
}

}  // namespace vesk
