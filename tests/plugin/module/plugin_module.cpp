#include "tests/plugin/module/plugin_module.h"

quenda_cli::PluginModule& sharedPluginModule() {
    static quenda_cli::PluginModule module(QUENDA_PLUGIN_PATH);
    return module;
}
