// The program as a service: a script of commands run at start (its options
// read by options), and the control socket whose clients are console sessions
// served, with standard input, by one poll loop on the main thread.
#pragma once

#include "options.h"

// Reads the script and makes the control socket, before anything starts;
// false after a message on standard error.
bool service_prepare(const service_options_t* o);
// Runs the script, then the input loop until `exit`, end of standard input
// (without a control socket) or service_request_quit.
void service_run(void);
// Closes every session and the socket, and removes its path.
void service_done(void);
// With a script: has service_run read it again soon (SIGHUP, systemctl
// reload) and returns true; without one, false.
bool service_request_reload(void);
// Ends service_run soon; safe in a signal handler.
void service_request_quit(void);
// SIGTERM, SIGINT and SIGHUP end the program as `exit` does; called before
// any other thread starts, since every thread inherits the signal mask.
void service_install_quit_signals(void);
