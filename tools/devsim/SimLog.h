// The simulator's own lines (its connections, a connection it drops, the mailbox's resyncs): one a
// line on stderr, "kestal-devsim: <message>". They are not the library's lines and never go to its
// log file, also where the simulator runs in the library's process (the tests, the soak run), so an
// application and the simulator sharing a folder each keep their own.
#pragma once

void SimLog(const char* format, ...) __attribute__((format(printf, 1, 2)));
