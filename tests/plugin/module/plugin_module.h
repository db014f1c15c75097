// The plug-in's shared object built with the tests, loaded on first use as
// the editor loads the DLL (by the command-line host's loader) and kept for
// the life of the test process. The tests of the whole plug-in drive it
// through its export alone, so the state they exercise is the module's.
#pragma once

#include "cli/hosting/plugin_host.h"

quenda_cli::PluginModule& sharedPluginModule();
