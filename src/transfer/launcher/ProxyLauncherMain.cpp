// The executable of every App Proxy on Linux: reads the Info.plist of its own bundle and
// starts the real application on the drive with the arguments it was given, or tells the
// user that the drive is not connected. Plain C++ and libplist, so it stays small and
// needs nothing of the program that generated it but the property-list reader.

#include "base/PlistCompat.h"
#include "base/PlistDecoder.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <spawn.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace {

using PlistPtr = PlistDecoder::Node;

std::string parentOf(const std::string &path)
{
    const std::string::size_type slash = path.find_last_of('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? std::string("/") : path.substr(0, slash);
}

std::string lastComponentOf(const std::string &path)
{
    const std::string::size_type slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string ownExecutable()
{
    std::vector<char> buffer(4096);
    const ssize_t length = ::readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
    if (length <= 0)
        return {};
    return std::string(buffer.data(), size_t(length));
}

// The top-level dictionary of a property list in any of its forms, or nothing.
PlistPtr readDictionary(const std::string &path)
{
    PlistPtr root = PlistDecoder::decodeFile(path);
    if (!root || plist_get_node_type(static_cast<plist_t>(root.get())) != PLIST_DICT)
        return PlistPtr();
    return root;
}

std::optional<std::string> textEntry(const PlistPtr &dict, const char *key)
{
    if (!dict)
        return std::nullopt;
    plist_t node = plist_dict_get_item(static_cast<plist_t>(dict.get()), key);
    if (!node || plist_get_node_type(node) != PLIST_STRING)
        return std::nullopt;
    return std::string(PlistCompat::stringOf(node));
}

bool exists(const std::string &path)
{
    struct stat info;
    return ::stat(path.c_str(), &info) == 0;
}

// Starts `argv` (searching PATH when asked) and waits for it. The spawn error, or 0.
int spawnAndWait(const std::vector<std::string> &argv, bool searchPath)
{
    std::vector<char *> pointers;
    pointers.reserve(argv.size() + 1);
    for (const std::string &argument : argv)
        pointers.push_back(const_cast<char *>(argument.c_str()));
    pointers.push_back(nullptr);
    pid_t pid = 0;
    const int error =
        searchPath ? ::posix_spawnp(&pid, pointers[0], nullptr, nullptr, pointers.data(), environ)
                   : ::posix_spawn(&pid, pointers[0], nullptr, nullptr, pointers.data(), environ);
    if (error != 0)
        return error;
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return 0;
}

bool hasDisplay()
{
    for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY"}) {
        const char *value = std::getenv(name);
        if (value && *value)
            return true;
    }
    return false;
}

// The alert: always on stderr, and as a dialog when a display and a dialog tool are there.
void showAlert(const std::string &message, const std::string &informative)
{
    std::fprintf(stderr, "%s\n%s\n", message.c_str(), informative.c_str());
    if (!hasDisplay())
        return;
    const std::string zenityText = message + "\n\n" + informative;
    if (spawnAndWait(
            {"zenity", "--warning", "--no-markup", "--title=" + message, "--text=" + zenityText},
            true) == 0)
        return;
    spawnAndWait({"xmessage", "-center", "-buttons", "OK", zenityText}, true);
}

// What "open -a" would start: the bundle's executable, or the target itself when it is a
// plain executable file.
std::string applicationExecutable(const std::string &target)
{
    struct stat info;
    if (::stat(target.c_str(), &info) == 0 && S_ISREG(info.st_mode))
        return target;
    const PlistPtr targetInfo = readDictionary(target + "/Contents/Info.plist");
    std::string name = lastComponentOf(textEntry(targetInfo, "CFBundleExecutable").value_or(""));
    if (name.empty()) {
        std::string bundleName = lastComponentOf(target);
        const std::string suffix = ".app";
        if (bundleName.size() > suffix.size() &&
            bundleName.compare(bundleName.size() - suffix.size(), suffix.size(), suffix) == 0)
            bundleName.resize(bundleName.size() - suffix.size());
        name = bundleName;
    }
    return target + "/Contents/MacOS/" + name;
}

} // namespace

int main(int argc, char *argv[])
{
    // <bundle>/Contents/MacOS/ProxyLauncher: the property list is two levels up.
    const std::string contents = parentOf(parentOf(ownExecutable()));
    const PlistPtr info = readDictionary(contents + "/Info.plist");

    const std::optional<std::string> target = textEntry(info, "TargetAppPath");
    const std::string volumeName =
        textEntry(info, "TargetVolumeName").value_or(std::string("External Volume"));
    std::optional<std::string> appName = textEntry(info, "CFBundleDisplayName");
    if (!appName)
        appName = textEntry(info, "CFBundleName");

    if (!target || !exists(*target)) {
        showAlert("\"" + appName.value_or(std::string("Application")) + "\" Cannot Be Opened",
                  "This application is stored on \"" + volumeName +
                      "\", which is not currently connected.\n\nPlease connect the drive to "
                      "launch it.");
        return 1;
    }

    std::vector<std::string> command{applicationExecutable(*target)};
    for (int i = 1; i < argc; ++i)
        command.emplace_back(argv[i]);
    const int error = spawnAndWait(command, false);
    if (error != 0) {
        std::fprintf(stderr, "ProxyLauncher: posix_spawn failed with error %d\n", error);
        ::syslog(LOG_ERR, "ProxyLauncher: posix_spawn failed with error %d", error);
        return 1;
    }
    return 0;
}
