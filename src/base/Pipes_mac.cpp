#include "base/Pipes.h"

#include <fcntl.h>
#include <unistd.h>

bool makeCloseOnExecPipe(int fds[2])
{
    // The Mac has no pipe2. The moment between pipe and fcntl does not matter to our own
    // programs, which start with POSIX_SPAWN_CLOEXEC_DEFAULT.
    if (::pipe(fds) != 0)
        return false;
    ::fcntl(fds[0], F_SETFD, FD_CLOEXEC);
    ::fcntl(fds[1], F_SETFD, FD_CLOEXEC);
    return true;
}
