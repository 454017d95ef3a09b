#pragma once

// Gives memory the allocator holds free back to the system, so that a measure of resident
// memory taken next counts only what is allocated after it.
void returnFreedMemory();
