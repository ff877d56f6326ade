// The console commands that manage streams (play, stop, stopall, reconnect,
// list, render, ping, exit, stats, snapshot) and the registry of the streams
// they started, which only the main thread touches.
#pragma once

// Initialises the console and registers `help` and the stream commands.
void velmor_register_commands(void);
// Stops, unregisters and frees every stream; the shut-down calls it too.
int cmd_stopall(const char* name, int argc, const char** argv);
// The name of the stream that the last successful `play` started, for the
// script's reload ("" before any).
const char* velmor_last_played(void);
