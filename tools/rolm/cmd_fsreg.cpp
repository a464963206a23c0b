#include "cli.h"

const cli::CommandList cli::kFsregCommands = {nullptr, 0};
