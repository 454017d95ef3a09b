#include "support/FreedMemory.h"

// Nothing to do: resident memory is read from /proc, which a Mac does not have, so the
// measures it would sharpen are not taken there.
void returnFreedMemory()
{}
