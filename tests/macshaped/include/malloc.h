// A Mac has no <malloc.h> (its allocator's header is <malloc/malloc.h>).
#error "<malloc.h> does not exist on a Mac"
