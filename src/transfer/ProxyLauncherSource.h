#pragma once

// The Objective-C source of the App Proxy launcher (transfer/launcher/ProxyLauncher.m), carried
// by the program so that a launcher can be compiled where no prebuilt one ships.
extern const char proxyLauncherSourceText[];
