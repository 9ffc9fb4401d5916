#pragma once
// The process's limit on open descriptors. Every connection costs descriptors, so the programs
// raise the soft limit as far as the hard limit allows at start, and the proxies derive how
// many connections they take in total from what the limit then is. Any thread.
namespace tw {

// Raises the soft descriptor limit to the hard limit; returns the soft limit afterwards (the
// old one when it cannot be raised, 0 when it cannot even be read).
long RaiseDescriptorLimit();

// Grows the process's descriptor table now to hold `count` descriptors (at most the soft
// limit), so a burst of new connections never waits for it to grow. The kernel grows a table
// that threads share only after a grace period of several milliseconds, at each doubling from
// 64; a busy proxy would pay that four to eight times while clients wait. Costs the kernel 8
// bytes per descriptor. Call it at start, before threads exist; no descriptor stays open.
void ReserveDescriptorTable(long count);
// What the programs reserve: room for some 8,000 relayed connections (128 KiB of kernel memory).
constexpr long kStartDescriptorTable = 16384;

// The current soft descriptor limit (0 when it cannot be read; unlimited is reported as
// LONG_MAX).
long DescriptorLimit();

}  // namespace tw
