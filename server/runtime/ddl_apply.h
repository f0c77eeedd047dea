// Schema changes on the commit thread: ALTER TABLE, DROP TABLE, CREATE INDEX
// and DROP INDEX, from SQL or from their JSON actions.  Each handler returns
// the owned reply text, or nullptr with the error message in msg (256 bytes).
// The caller holds g_checkpoint_lock (the commit thread holds it per job).
#pragma once

#include <cstddef>

struct Job;

char* ddl_handle_alter_table(Job* job, char* msg, size_t msglen);
char* ddl_handle_drop_table(Job* job, char* msg, size_t msglen);
char* ddl_handle_create_index(Job* job, char* msg, size_t msglen);
char* ddl_handle_drop_index(Job* job, char* msg, size_t msglen);
