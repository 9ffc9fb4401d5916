#pragma once
// The process's limit on open descriptors. Every connection costs descriptors, so the programs
// raise the soft limit as far as the hard limit allows at start, and the proxies derive how
// many connections they take in total from what the limit then is. Any thread.
namespace tw {

// Raises the soft descriptor limit to the hard limit; returns the soft limit afterwards (the
// old one when it cannot be raised, 0 when it cannot even be read).
long RaiseDescriptorLimit();

// The current soft descriptor limit (0 when it cannot be read; unlimited is reported as
// LONG_MAX).
long DescriptorLimit();

}  // namespace tw
