#pragma once
// Process-wide settings that every host makes before it builds the core.

// Ignores SIGPIPE (a reader that vanishes mid-reply must not end the
// server) and raises the descriptor limit to the hard limit: 500 readers,
// their article files and the feed need more than the usual 1024.
void PrepareHostProcess();

// QV_TICK_MS=N makes the one-second tick N milliseconds long (1 to 1000),
// and every timer counted in ticks with it: the minute tick, the five-second
// tick, session time-outs, the dial-up countdown and its pauses. Tests use
// it to see a scheduled run without waiting minutes. 0: not set or invalid
// (said on standard error).
int TickMsFromEnvironment();
