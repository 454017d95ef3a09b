// Stands before this system's libplist header in the Mac-shaped build. On a Mac that header lies
// in Homebrew's folder, which no compiler searches of itself: a source reaches it only through
// the include folder the libplist target gives.
#error "<plist/plist.h> is reached only by linking the libplist target (korvanthelix_plist)"
