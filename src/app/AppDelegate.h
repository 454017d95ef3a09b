#pragma once

// The application's launch hook: switches automatic window tabbing off for the whole
// application and for every window open at that moment (macOS; nothing elsewhere). Each
// window switches it off again for itself when it is shown.
class AppDelegate
{
public:
    // Called once, on the main thread, after the first window has been created.
    void applicationDidFinishLaunching();
};
