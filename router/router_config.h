// The router's configuration file: grammar, defaults, load, reload and the
// rewrite after an in-band password change.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "router_types.h"

#define ROUTER_DEFAULT_CONFIG_PATH "./kyreldb_router.config"

void router_config_set_defaults(RouterConfig* cfg);
int router_load_config(const char* path, char* err, size_t errlen);
int router_load_config_into(RouterConfig* cfg, const char* path, int allow_default_file, char* err,
                            size_t errlen);
// Reload config_path into g_cfg; owned JSON reply.
std::string router_reload_config_json();
// Rewrites the file from g_cfg through a new temporary file that is synced
// and renamed over it; the caller holds g_cfg_lock.
int router_save_config_file(char* err, size_t errlen);
int router_config_token_is_safe(const char* text);
int router_role_from_string(const char* text);
const char* router_role_to_string(int role);
int router_parse_onoff(const char* text, int current);
int router_find_backend_idx_in_config(const RouterConfig* cfg, const char* name);
int router_max_clients_snapshot();
uint64_t router_config_generation_snapshot();
// Writes the default configuration file at path with exclusive creation.
int router_write_default_config(const char* path);
// Creates path as a new file with mode 0600 for writing: never over an
// existing entry and never through a symbolic link. The descriptor, or -1
// with errno set (EEXIST when anything is already there).
int router_create_private_file(const char* path);
