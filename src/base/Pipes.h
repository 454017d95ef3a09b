#pragma once

// A pipe whose ends are not inherited by programs started meanwhile on other threads (as far
// as the system allows; see the platform's file). False with errno set when none was made.
[[nodiscard]] bool makeCloseOnExecPipe(int fds[2]);
