#pragma once

// orvo import mcsim FILE ...: runs the importer that came with this orvo
// (tools/orvo-import), passing the arguments through; its exit status is
// the command's. Takes the arguments after "import".
int ImportCommand(int argc, char** argv);
