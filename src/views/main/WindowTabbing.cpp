#include "views/main/WindowTabbing.h"

#include <QWidget>
#include <dlfcn.h>

namespace {

// The runtime's entry points, found in the running process: present only where the
// Objective-C runtime is loaded (every Qt program on macOS), so no link dependency is needed.
struct ObjcRuntime
{
    using GetClass = void *(*)(const char *);
    using RegisterName = void *(*)(const char *);

    GetClass getClass = nullptr;
    RegisterName registerName = nullptr;
    void *msgSend = nullptr;

    [[nodiscard]] bool isLoaded() const { return getClass && registerName && msgSend; }
};

const ObjcRuntime &runtime()
{
    static const ObjcRuntime loaded = [] {
        ObjcRuntime found;
        found.getClass =
            reinterpret_cast<ObjcRuntime::GetClass>(dlsym(RTLD_DEFAULT, "objc_getClass"));
        found.registerName =
            reinterpret_cast<ObjcRuntime::RegisterName>(dlsym(RTLD_DEFAULT, "sel_registerName"));
        found.msgSend = dlsym(RTLD_DEFAULT, "objc_msgSend");
        return found;
    }();
    return loaded;
}

// NSWindowTabbingModeDisallowed.
constexpr long tabbingModeDisallowed = 2;

} // namespace

namespace WindowTabbing {

bool disableAutomaticTabbing()
{
    const ObjcRuntime &objc = runtime();
    if (!objc.isLoaded())
        return false;
    void *windowClass = objc.getClass("NSWindow");
    if (!windowClass)
        return false;
    using SetBool = void (*)(void *, void *, bool);
    reinterpret_cast<SetBool>(objc.msgSend)(
        windowClass, objc.registerName("setAllowsAutomaticWindowTabbing:"), false);
    return true;
}

bool disallowTabbing(QWidget *widget)
{
    if (!disableAutomaticTabbing() || !widget ||
        !widget->window()->testAttribute(Qt::WA_WState_Created))
        return false;
    // On macOS a widget's native handle is its NSView.
    void *view = reinterpret_cast<void *>(widget->window()->winId());
    const ObjcRuntime &objc = runtime();
    using GetObject = void *(*)(void *, void *);
    void *window = reinterpret_cast<GetObject>(objc.msgSend)(view, objc.registerName("window"));
    if (!window)
        return false;
    using SetLong = void (*)(void *, void *, long);
    reinterpret_cast<SetLong>(objc.msgSend)(window, objc.registerName("setTabbingMode:"),
                                            tabbingModeDisallowed);
    return true;
}

} // namespace WindowTabbing
