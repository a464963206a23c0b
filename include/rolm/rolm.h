// rolm: support library for 32-bit Windows desktop programs.
// Include this header to get every operation.
#pragma once

#include <rolm/trace.h>
#include <rolm/net.h>
#include <rolm/http.h>
#include <rolm/process.h>
#include <rolm/fsreg.h>
