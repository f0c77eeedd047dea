// The requests a backend keeps for its administrators, which the router
// therefore keeps for its own: the server reports, and user and database
// management. Action names compare without regard to case; a statement
// matches when its text, as the backend reads it (line breaks as blanks,
// trimmed), begins with the prefix in any case. Kept apart from the rest of
// the request handling so that a test can hold these lists against the
// backend's own classification.
#pragma once

// The server reports: a router administrator only.
inline constexpr const char* kRouterReportActions[] = {
    "show_stats", "show_performance", "show_memory", "show_cursors", "show_wal", "show_workers"};
inline constexpr const char* kRouterReportStatements[] = {
    "SHOW STATS", "SHOW PERFORMANCE", "SHOW MEMORY", "SHOW CURSORS", "SHOW WAL", "SHOW WORKERS"};

// User and database management: a router administrator whose own connection
// is local, since the backend sees every router connection as local.
inline constexpr const char* kRouterManagementActions[] = {
    "create_user", "grant_role", "create_database", "drop_user", "revoke_role", "drop_database"};
inline constexpr const char* kRouterManagementStatements[] = {"CREATE USER ", "GRANT ",
                                                              "CREATE DATABASE "};
