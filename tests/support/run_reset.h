// Puts the process-wide run state back as it is at process start, between
// tests: the program itself performs one run and never resets anything.
#pragma once

// runState (flags, count, package, dialog, worker record; the pause event
// handle is forgotten, the named event itself lives on), updateList and
// the run's install folder text.
void resetRunState();
