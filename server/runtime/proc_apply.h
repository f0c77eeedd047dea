// Stored procedures as requests: CREATE PROCEDURE, DROP PROCEDURE and CALL
// on the commit thread, SHOW PROCEDURES on the read path, from SQL or from
// their JSON actions. The write handlers return the owned reply text, or
// nullptr with the error message in msg (256 bytes).
#pragma once

#include <cstddef>

struct Job;

char* proc_handle_create(Job* job, char* msg, size_t msglen);
char* proc_handle_drop(Job* job, char* msg, size_t msglen);
char* proc_handle_call(Job* job, char* msg, size_t msglen);

// SHOW PROCEDURES: 0 with the owned reply, -1 with the message.
int proc_show_json(const Job* job, char** out, char* err, size_t errlen);
