/*
 * inventory: a small C program on the KyrelDB connector.
 *
 * It connects to a server, logs in (and makes the password change that a
 * first login demands when a new password is given), creates the table
 * "items" unless it exists, stores three items, and reads the table back.
 * Run it twice: the second run finds the table and the items already there
 * and says so, which is how it shows an error reply being handled.
 *
 *   inventory HOST PORT USER PASSWORD [NEW_PASSWORD]
 *
 * Built with the C compiler alone, from the top of a built source tree:
 *
 *   cc -std=c11 examples/connector/inventory.c -Iconnector \
 *      build/lib/libkyreldb_database.a build/lib/libkyrelconnect_core.a -o inventory
 *
 * Progress goes to standard output, failures to standard error. Exit
 * status 0 when the items are stored and read back, 1 otherwise.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "kyreldb_database.h"

struct item {
    int id;
    const char* name;
    int qty;
    double price;
};

static const struct item kItems[] = {
    {1, "hex bolt M6", 120, 0.25},
    {2, "nut M6", 300, 0.05},
    {3, "O'Brien washer", 75, 0.10},
};

/* Prints the error of a failed reply and frees it; returns 1, the exit status. */
static int fail(const char* what, kc_result* r) {
    fprintf(stderr, "%s: %s\n", what, kc_result_error(r));
    kc_result_free(r);
    return 1;
}

/* The integer that follows "key": in a reply, or -1 when there is none. The
 * connector hands every reply over as JSON text; a program that reads many
 * values uses a JSON library, but one number can be picked out by hand. */
static long json_number_after(const char* json, const char* key) {
    const char* p = strstr(json, key);
    return p ? strtol(p + strlen(key), NULL, 10) : -1;
}

/* Stores one item. A duplicate primary key means the item is already there
 * (an earlier run stored it): that reply is expected and not a failure. */
static int store_item(kyreldb_handle* h, const struct item* it) {
    char* name = kc_sql_literal_string(it->name); /* quoted, with ' and \ escaped */
    if (!name) {
        fputs("out of memory\n", stderr);
        return 1;
    }
    char sql[256];
    snprintf(sql, sizeof sql, "INSERT INTO items (id, name, qty, price) VALUES (%d, %s, %d, %.2f)",
             it->id, name, it->qty, it->price);
    free(name);
    kc_result* r = kyreldb_execute(h, sql);
    if (kc_result_ok(r)) {
        printf("item %d stored\n", it->id);
    } else if (strcmp(kc_result_error(r), "duplicate primary key") == 0) {
        printf("item %d already stored\n", it->id);
    } else {
        return fail("insert", r);
    }
    kc_result_free(r);
    return 0;
}

int main(int argc, char** argv) {
    if (argc < 5 || argc > 6) {
        fprintf(stderr, "usage: %s HOST PORT USER PASSWORD [NEW_PASSWORD]\n", argv[0]);
        return 2;
    }
    const char* host = argv[1];
    int port = atoi(argv[2]);
    const char* user = argv[3];
    const char* password = argv[4];
    const char* new_password = argc == 6 ? argv[5] : NULL;

    /* Connect: the handle is NULL when no connection could be made. */
    kyreldb_handle* h = kyreldb_connect(host, port);
    if (!h) {
        fprintf(stderr, "cannot connect to %s:%d\n", host, port);
        return 1;
    }

    /* Log in. Every request returns a result that the caller frees. */
    kc_result* r = kyreldb_login(h, user, password);
    if (!kc_result_ok(r)) {
        kyreldb_free(h);
        return fail("login", r);
    }
    kc_result_free(r);
    printf("logged in to %s:%d as %s\n", host, port, user);

    /* A first login (or a user made by CREATE USER) must change the password
     * before the server accepts anything else. */
    if (h->must_change_password) {
        if (!new_password) {
            fprintf(stderr, "%s must choose a new password first: give it as NEW_PASSWORD\n", user);
            kyreldb_free(h);
            return 1;
        }
        r = kyreldb_change_password(h, new_password);
        if (!kc_result_ok(r)) {
            kyreldb_free(h);
            return fail("password change", r);
        }
        kc_result_free(r);
        puts("password changed");
    }

    /* Create the table; one that exists already is fine. */
    r = kyreldb_execute(h,
                        "CREATE TABLE items (id int PRIMARY KEY, name varchar(40), qty int, "
                        "price double)");
    if (kc_result_ok(r)) {
        puts("table items created");
    } else if (strcmp(kc_result_error(r), "table already exists") == 0) {
        puts("table items already exists");
    } else {
        kyreldb_free(h);
        return fail("create table", r);
    }
    kc_result_free(r);

    for (size_t i = 0; i < sizeof kItems / sizeof kItems[0]; i++) {
        if (store_item(h, &kItems[i]) != 0) {
            kyreldb_free(h);
            return 1;
        }
    }

    /* Read the rows back: the reply is the server's JSON text. */
    r = kyreldb_query(h, "SELECT id, name, qty FROM items ORDER BY id");
    if (!kc_result_ok(r)) {
        kyreldb_free(h);
        return fail("select", r);
    }
    printf("rows: %s\n", kc_result_json(r));
    kc_result_free(r);

    r = kyreldb_query(h, "SELECT COUNT(*), SUM(qty) FROM items");
    if (!kc_result_ok(r)) {
        kyreldb_free(h);
        return fail("count", r);
    }
    printf("%ld items, %ld pieces in stock\n",
           json_number_after(kc_result_json(r), "\"COUNT(*)\":"),
           json_number_after(kc_result_json(r), "\"SUM(qty)\":"));
    kc_result_free(r);

    kyreldb_free(h); /* closes the connection */
    return 0;
}
