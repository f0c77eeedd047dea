// The system-table rule (see system_table_names.h).
#include "system_table_names.h"

#include <strings.h>

#include <initializer_list>

int system_table_is_protected(const char* database, const char* table) {
    if (database && strcasecmp(database, KYREL_SYSTEM_DB_NAME) == 0) return 1;
    if (!table) return 0;
    for (const char* name :
         {KYREL_USERS_TABLE_NAME, KYREL_ROLES_TABLE_NAME, KYREL_PROCEDURES_TABLE_NAME})
        if (strcasecmp(table, name) == 0) return 1;
    return 0;
}
