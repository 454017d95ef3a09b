#include "base/Pipes.h"

#include <fcntl.h>
#include <unistd.h>

bool makeCloseOnExecPipe(int fds[2])
{
    // Both ends close-on-exec from the start.
    return ::pipe2(fds, O_CLOEXEC) == 0;
}
