#include "cli.h"

const cli::CommandList cli::kNetCommands = {nullptr, 0};
