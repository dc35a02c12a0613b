#pragma once

// orvo build FILE.model [--out DIR] [--verbose]: the command-line front end of
// ModelBuilder. Takes the arguments after "build".
int BuildCommand(int argc, char** argv);
