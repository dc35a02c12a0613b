#pragma once

// Exit codes of the host.
constexpr int kExitOk = 0;
constexpr int kExitRunFailed = 1;  // a run or the library failed, or a file could not be read or written
constexpr int kExitBadInput = 2;  // bad command line, file, variable or value; nothing ran
constexpr int kExitSomeRunsFailed = 3;  // a population ran, but some of its runs failed
constexpr int kExitRunsLost = 4;  // runs lost with their worker processes (twice): the machine, not the model
