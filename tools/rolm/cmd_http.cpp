#include "cli.h"

const cli::CommandList cli::kHttpCommands = {nullptr, 0};
