#pragma once

// Process-wide set-up (level ranks, libevent threading) for every program
// that runs an event loop of ours; idempotent and thread-safe.
void proxyGlobalInit();
