// The executable of every App Proxy: opens the real application on the drive, or says that
// the drive is not connected. Built with: clang -arch arm64 -O2 -framework Cocoa
// -framework Foundation (no ARC; the process is short-lived and frees only its argv).
#import <Cocoa/Cocoa.h>
#include <errno.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

static NSString *textEntry(NSDictionary *info, NSString *key)
{
    id value = [info objectForKey:key];
    return [value isKindOfClass:[NSString class]] ? (NSString *)value : nil;
}

int main(int argc, const char *argv[])
{
    @autoreleasepool {
        NSDictionary *info = [[NSBundle mainBundle] infoDictionary];
        NSString *targetPath = textEntry(info, @"TargetAppPath");
        NSString *volumeName = textEntry(info, @"TargetVolumeName");
        if (volumeName == nil)
            volumeName = @"External Volume";
        NSString *appName = textEntry(info, @"CFBundleDisplayName");
        if (appName == nil)
            appName = textEntry(info, @"CFBundleName");
        if (appName == nil)
            appName = @"Application";

        if (targetPath == nil || ![[NSFileManager defaultManager] fileExistsAtPath:targetPath]) {
            NSApplication *app = [NSApplication sharedApplication];
            [app setActivationPolicy:NSApplicationActivationPolicyRegular];
            [app activateIgnoringOtherApps:YES];
            NSAlert *alert = [[NSAlert alloc] init];
            [alert setAlertStyle:NSAlertStyleWarning];
            [alert setMessageText:[NSString stringWithFormat:@"\"%@\" Cannot Be Opened", appName]];
            [alert setInformativeText:
                       [NSString stringWithFormat:@"This application is stored on \"%@\", which is "
                                                  @"not currently connected.\n\nPlease connect "
                                                  @"the drive to launch it.",
                                                  volumeName]];
            [alert addButtonWithTitle:@"OK"];
            [alert runModal];
            exit(1);
        }

        // "/usr/bin/open" "-a" TARGET ["--args" ARG...] and the terminating NULL.
        const char **args = calloc((size_t)argc + 4, sizeof(char *));
        int count = 0;
        args[count++] = "/usr/bin/open";
        args[count++] = "-a";
        args[count++] = [targetPath fileSystemRepresentation];
        if (argc > 1) {
            args[count++] = "--args";
            for (int i = 1; i < argc; ++i) {
                // An argument that is not UTF-8 cannot be passed on faithfully; it is left out.
                NSString *argument = [NSString stringWithUTF8String:argv[i]];
                if (argument != nil)
                    args[count++] = [argument UTF8String];
            }
        }
        args[count] = NULL;

        pid_t pid = 0;
        int status = posix_spawn(&pid, "/usr/bin/open", NULL, NULL, (char *const *)args, environ);
        free(args);
        if (status != 0) {
            NSLog(@"ProxyLauncher: posix_spawn failed with error %d", status);
            exit(1);
        }
        int childStatus = 0;
        while (waitpid(pid, &childStatus, 0) < 0 && errno == EINTR) {
        }
        exit(0);
    }
}
