#include "cli.h"

const cli::CommandList cli::kProcessCommands = {nullptr, 0};
