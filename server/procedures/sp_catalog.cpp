// Procedure files and catalog rows: path rule, crash-safe file write, checked
// reads with their SHA-256 digest, create, drop, SHOW PROCEDURES and the
// verified load of a body for CALL.
//
// The row under key "<db>.<proc>" in config_db__kyreldb_stored_procedures is
//   {"proc_key":..,"owner_user":..,"database_name":..,"table_name":..,
//    "procedure_name":..,"file_path":..,"body_sha256":..,"enabled":true,
//    "created_at":N,"updated_at":N,"param_defs":..}
// The file is written (a new temporary file under a random name, fdatasync,
// rename, directory fsync) before the row is inserted; drop removes the row
// first and then the file, and syncs the directory after the unlink.
#include "procedures/sp_catalog.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <strings.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_set>

#include "base/json_text.h"
#include "base/sha256.h"
#include "exec/session_scope.h"
#include "exec/system_tables.h"
#include "procedures/sp_body.h"
#include "procedures/sp_statements.h"
#include "procedures/sp_util.h"
#include "query/session.h"
#include "storage/db_registry.h"
#include "storage/ident.h"
#include "storage/paths.h"
#include "storage/roles.h"
#include "storage/row_version.h"
#include "storage/table.h"

namespace {

// n random bytes from the kernel. 0, or -1 when none could be had.
int random_bytes(void* out, size_t n) {
    unsigned char* p = static_cast<unsigned char*>(out);
    while (n > 0) {
        ssize_t r = getrandom(p, n, 0);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return -1;
        p += r;
        n -= static_cast<size_t>(r);
    }
    return 0;
}

std::string json_tok(const char* s) {
    CStr e(json_quote_token(s ? s : ""));
    return e ? std::string(e.get()) : std::string("\"\"");
}

std::string procedures_table() {
    char t[KYREL_INTERNAL_NAME_SIZE];
    make_procedures_internal_table(t, sizeof t);
    return t;
}

bool row_field(const char* row, const char* key, char* out, size_t cap) {
    return json_row_string_field(row, key, out, cap) == 0;
}

// Live newest rows of the catalog table, ordered by key.
int catalog_live_rows(std::vector<std::pair<std::string, std::string>>& out, char* err,
                      size_t errlen) {
    out.clear();
    int idx = table_find_index(procedures_table().c_str());
    if (idx < 0) return sp_fail(err, errlen, "procedure catalog missing");
    Table* t = &g_tables.slots[idx];
    RwReadGuard g(&t->lock);
    std::unordered_set<std::string> seen;
    for (VersionedRow* v = t->rows; v; v = v->next) {
        if (!v->key || !seen.insert(v->key).second) continue;
        if (v->deleted || !v->json) continue;
        out.emplace_back(v->key, v->json);
    }
    std::sort(out.begin(), out.end());
    return 0;
}

// Finds the live catalog row of database.procedure. The key is written with
// the names as the creator spelled them, while procedure names compare
// case-insensitively, so an exact miss falls back to a case-insensitive scan.
// 1 found (key and row filled), 0 absent, -1 error.
int find_proc_row(const std::string& key, std::string& found_key, std::string& row, char* err,
                  size_t errlen) {
    const std::string table = procedures_table();
    char* json = nullptr;
    int deleted = 0;
    char lerr[128];
    if (table_get_latest_row_by_key(table.c_str(), key.c_str(), &json, &deleted, lerr,
                                    sizeof lerr) == 0) {
        CStr hold(json);
        if (!deleted && json) {
            found_key = key;
            row = json;
            return 1;
        }
    }
    std::vector<std::pair<std::string, std::string>> rows;
    if (catalog_live_rows(rows, err, errlen) != 0) return -1;
    for (const auto& r : rows) {
        if (strcasecmp(r.first.c_str(), key.c_str()) == 0) {
            found_key = r.first;
            row = r.second;
            return 1;
        }
    }
    return 0;
}

int check_session(const Session* s, char* err, size_t errlen) {
    if (!s || !s->authenticated) return sp_fail(err, errlen, "authentication required");
    return 0;
}

}  // namespace

void sp_sha256_hex_buf(const void* data, size_t len, char* out_hex) {
    if (!out_hex) return;
    Sha256Context ctx;
    kydb_sha256_init(&ctx);
    if (data && len) kydb_sha256_update(&ctx, data, len);
    uint8_t digest[32];
    kydb_sha256_final(&ctx, digest);
    static const char hex[] = "0123456789abcdef";
    for (int i = 0; i < 32; ++i) {
        out_hex[2 * i] = hex[digest[i] >> 4];
        out_hex[2 * i + 1] = hex[digest[i] & 15];
    }
    out_hex[64] = '\0';
}

int sp_make_proc_key(const char* database, const char* procedure, char* out, size_t cap, char* err,
                     size_t errlen) {
    sp_clear(out, cap);
    if (!database || !procedure || !database[0] || !procedure[0])
        return sp_fail(err, errlen, "invalid procedure key");
    std::string key = std::string(database) + "." + procedure;
    if (key.size() >= 192 || !out || key.size() >= cap)
        return sp_fail(err, errlen, "procedure key too long");
    memcpy(out, key.c_str(), key.size() + 1);
    return 0;
}

int sp_make_file_path(const char* owner, const char* database, const char* table,
                      const char* procedure, char* out, size_t cap, char* err, size_t errlen) {
    sp_clear(out, cap);
    const char* parts[4] = {owner, database, table, procedure};
    std::string cut[4];
    for (int i = 0; i < 4; ++i) {
        cut[i] = sp_cut(parts[i], 63);
        // Checked before any directory is made: the names become path parts.
        if (!sp_ident_is_strict(cut[i].c_str()))
            return sp_fail(err, errlen, "procedure metadata contains unsafe identifier");
    }
    char dir[SP_PATH_SIZE];
    db_procedures_dir_path(cut[1].c_str(), dir, sizeof dir);
    ensure_database_storage_dirs(cut[1].c_str());
    ensure_dir(dir);
    std::string path =
        std::string(dir) + "/" + cut[0] + "." + cut[1] + "." + cut[2] + "." + cut[3] + ".sp";
    if (path.size() >= SP_PATH_SIZE || !out || path.size() >= cap)
        return sp_fail(err, errlen, "procedure path too long");
    memcpy(out, path.c_str(), path.size() + 1);
    return 0;
}

int sp_expected_path_from_row(const char* row_json, char* out, size_t cap, char* err,
                              size_t errlen) {
    sp_clear(out, cap);
    static const char* const keys[4] = {"owner_user", "database_name", "table_name",
                                        "procedure_name"};
    char vals[4][64];
    for (int i = 0; i < 4; ++i) {
        if (!row_field(row_json, keys[i], vals[i], sizeof vals[i]))
            return sp_fail(err, errlen, "procedure catalog row is corrupt");
        canonicalize_ident(vals[i]);
    }
    return sp_make_file_path(vals[0], vals[1], vals[2], vals[3], out, cap, err, errlen);
}

int sp_write_file_atomic(const char* path, const char* body, char* err, size_t errlen) {
    if (body && strlen(body) > SP_FILE_MAX) return sp_fail(err, errlen, "procedure body too large");
    if (!path || !path[0] || !body) return sp_fail(err, errlen, "invalid procedure file write");
    // The temporary file is new, under a name nobody can guess or plant in
    // advance: O_EXCL refuses anything already there (a file or a link left
    // to redirect the write), O_NOFOLLOW a final link.
    char tmp[1024];
    int fd = -1;
    for (int attempt = 0; attempt < 8 && fd < 0; ++attempt) {
        uint64_t r[2];
        if (random_bytes(r, sizeof r) != 0)
            return sp_fail(err, errlen, "cannot create procedure file");
        int n =
            snprintf(tmp, sizeof tmp, "%s.tmp.%016llx%016llx", path,
                     static_cast<unsigned long long>(r[0]), static_cast<unsigned long long>(r[1]));
        if (n < 0 || static_cast<size_t>(n) >= sizeof tmp)
            return sp_fail(err, errlen, "procedure temp path too long");
        fd = open(tmp, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0 && errno != EEXIST) break;
    }
    if (fd < 0) return sp_fail(err, errlen, "cannot create procedure file");
    size_t len = strlen(body), done = 0;
    while (done < len) {
        ssize_t w = write(fd, body + done, len - done);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) {
            close(fd);
            unlink(tmp);
            return sp_fail(err, errlen, "cannot write procedure file");
        }
        done += static_cast<size_t>(w);
    }
    if (fdatasync(fd) != 0) {
        close(fd);
        unlink(tmp);
        return sp_fail(err, errlen, "cannot sync procedure file");
    }
    if (close(fd) != 0) {
        unlink(tmp);
        return sp_fail(err, errlen, "cannot close procedure file");
    }
    if (rename(tmp, path) != 0) {
        unlink(tmp);
        return sp_fail(err, errlen, "cannot activate procedure file");
    }
    // Make the rename itself durable before the catalog row is acknowledged.
    fsync_dir_of(path);
    return 0;
}

int sp_read_file_body_checked(const char* path, char** out_body, char* out_hex, char* err,
                              size_t errlen) {
    if (out_body) *out_body = nullptr;
    sp_clear(out_hex, 65);
    if (!path || !path[0]) return sp_fail(err, errlen, "procedure file path is missing");
    int fd = open(path, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ELOOP) return sp_fail(err, errlen, "procedure file must not be a symlink");
        return sp_fail(err, errlen, "cannot open procedure file");
    }
    struct FdCloser {
        int fd;
        ~FdCloser() { close(fd); }
    } closer{fd};
    struct stat st;
    if (fstat(fd, &st) != 0) return sp_fail(err, errlen, "cannot stat procedure file");
    if (!S_ISREG(st.st_mode)) return sp_fail(err, errlen, "procedure path is not a regular file");
    if (st.st_size > static_cast<off_t>(SP_FILE_MAX))
        return sp_fail(err, errlen, "procedure file is too large");
    std::string data;
    char buf[4096];
    for (;;) {
        ssize_t r = read(fd, buf, sizeof buf);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) return sp_fail(err, errlen, "cannot read procedure file");
        if (r == 0) break;
        data.append(buf, static_cast<size_t>(r));
        if (data.size() > SP_FILE_MAX) return sp_fail(err, errlen, "procedure file is too large");
    }
    if (memchr(data.data(), '\0', data.size()))
        return sp_fail(err, errlen, "procedure file contains a NUL byte");
    char* owned = sp_dup(data);
    if (!owned) return sp_fail(err, errlen, "oom");
    if (out_hex) sp_sha256_hex_buf(data.data(), data.size(), out_hex);
    if (out_body)
        *out_body = owned;
    else
        free(owned);
    return 0;
}

int sp_sha256_hex_file(const char* path, char* out_hex, char* err, size_t errlen) {
    sp_clear(out_hex, 65);
    struct stat st;
    if (!path || lstat(path, &st) != 0) return sp_fail(err, errlen, "procedure file is missing");
    if (S_ISLNK(st.st_mode)) return sp_fail(err, errlen, "procedure file must not be a symlink");
    if (!S_ISREG(st.st_mode)) return sp_fail(err, errlen, "procedure path is not a regular file");
    if (st.st_size > static_cast<off_t>(SP_FILE_MAX))
        return sp_fail(err, errlen, "procedure file is too large");
    int fd = open(path, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ELOOP) return sp_fail(err, errlen, "procedure file must not be a symlink");
        return sp_fail(err, errlen, "cannot open procedure file");
    }
    Sha256Context ctx;
    kydb_sha256_init(&ctx);
    size_t total = 0;
    char buf[4096];
    for (;;) {
        ssize_t r = read(fd, buf, sizeof buf);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) {
            close(fd);
            return sp_fail(err, errlen, "cannot read procedure file");
        }
        if (r == 0) break;
        total += static_cast<size_t>(r);
        if (total > SP_FILE_MAX) {
            close(fd);
            return sp_fail(err, errlen, "procedure file is too large");
        }
        kydb_sha256_update(&ctx, buf, static_cast<size_t>(r));
    }
    close(fd);
    uint8_t digest[32];
    kydb_sha256_final(&ctx, digest);
    static const char hex[] = "0123456789abcdef";
    if (out_hex) {
        for (int i = 0; i < 32; ++i) {
            out_hex[2 * i] = hex[digest[i] >> 4];
            out_hex[2 * i + 1] = hex[digest[i] & 15];
        }
        out_hex[64] = '\0';
    }
    return 0;
}

char* sp_build_row_json(const char* proc_key, const char* owner, const char* database,
                        const char* table, const char* procedure, const char* file_path,
                        const char* sha256_hex, uint64_t created_at, uint64_t updated_at,
                        const char* param_defs) {
    char times[96];
    snprintf(times, sizeof times, "\"created_at\":%llu,\"updated_at\":%llu",
             static_cast<unsigned long long>(created_at),
             static_cast<unsigned long long>(updated_at));
    std::string row =
        "{\"proc_key\":" + json_tok(proc_key) + ",\"owner_user\":" + json_tok(owner) +
        ",\"database_name\":" + json_tok(database) + ",\"table_name\":" + json_tok(table) +
        ",\"procedure_name\":" + json_tok(procedure) + ",\"file_path\":" + json_tok(file_path) +
        ",\"body_sha256\":" + json_tok(sha256_hex) + ",\"enabled\":true," + times +
        ",\"param_defs\":" + json_tok(param_defs ? param_defs : "") + "}";
    return sp_dup(row);
}

int sp_validate_catalog_row_file(const char* row_json, char* status, size_t cap) {
    auto set = [&](const char* s, int rc) {
        if (status && cap) snprintf(status, cap, "%s", s);
        return rc;
    };
    int enabled = 0;
    if (json_row_bool_field(row_json, "enabled", &enabled) != 0 || !enabled)
        return set("DISABLED", 0);
    char file_path[512], sha[128];
    if (!row_field(row_json, "file_path", file_path, sizeof file_path) ||
        !row_field(row_json, "body_sha256", sha, sizeof sha))
        return set("CATALOG_CORRUPT", -1);
    char expected[SP_PATH_SIZE], msg[128];
    if (sp_expected_path_from_row(row_json, expected, sizeof expected, msg, sizeof msg) != 0)
        return set(msg, -1);
    if (strcmp(expected, file_path) != 0) return set("PATH_MISMATCH", -1);
    char hex[65];
    if (sp_sha256_hex_file(expected, hex, msg, sizeof msg) != 0) return set(msg, -1);
    if (strcasecmp(hex, sha) != 0) return set("HASH_MISMATCH", -1);
    return set("OK", 0);
}

int sp_create_procedure(const Session* session, const char* procedure, const char* table,
                        const char* body, const ProcParamDef* params, int param_count, char* reply,
                        size_t reply_cap, char* err, size_t errlen) {
    sp_clear(reply, reply_cap);
    if (check_session(session, err, errlen) != 0) return -1;
    std::string db_text = session_database(session);
    char user[64], db[64], tbl[64], proc[64];
    if (copy_sp_ident_checked(user, sizeof user, session->username, "username", err, errlen) ||
        copy_sp_ident_checked(db, sizeof db, db_text.c_str(), "database name", err, errlen) ||
        copy_sp_ident_checked(tbl, sizeof tbl, table, "table name", err, errlen) ||
        copy_sp_ident_checked(proc, sizeof proc, procedure, "procedure name", err, errlen))
        return -1;
    if (param_count < 0 || param_count > SP_MAX_PARAMS || (param_count > 0 && !params))
        return sp_fail(err, errlen, "too many procedure parameters");
    if (sp_validate_body(body, err, errlen) != 0) return -1;
    if (sp_validate_body_placeholders(body, params, param_count, err, errlen) != 0) return -1;
    char defs[SP_PARAM_DEFS_SIZE];
    if (sp_param_defs_to_string(params, param_count, defs, sizeof defs, err, errlen) != 0)
        return -1;
    SessionTable scope;
    char scope_err[128];
    if (session_table_resolve(session, tbl, TableUse::Read, &scope, scope_err, sizeof scope_err) !=
        0)
        return sp_fail(err, errlen, "procedure table scope not found");
    if (system_procedure_table_create_if_missing(err, errlen) != 0) return -1;
    char key[192];
    if (sp_make_proc_key(db, proc, key, sizeof key, err, errlen) != 0) return -1;
    std::string found_key, found_row;
    int found = find_proc_row(key, found_key, found_row, err, errlen);
    if (found < 0) return -1;
    if (found > 0) return sp_fail(err, errlen, "procedure already exists in this database");
    char path[SP_PATH_SIZE];
    if (sp_make_file_path(user, db, tbl, proc, path, sizeof path, err, errlen) != 0) return -1;
    struct stat st;
    if (lstat(path, &st) == 0) return sp_fail(err, errlen, "procedure file already exists");
    char hex[65];
    sp_sha256_hex_buf(body, strlen(body), hex);

    // The reply is built before anything is written, so a reply that does not
    // fit never follows a stored procedure.
    std::string out =
        std::string("{\"ok\":true,\"message\":\"procedure created\",\"database\":\"") +
        json_escaped(db) + "\",\"table\":\"" + json_escaped(tbl) + "\",\"procedure\":\"" +
        json_escaped(proc) + "\",\"params\":\"" + json_escaped(defs) + "\",\"file_path\":\"" +
        json_escaped(path) + "\",\"sha256\":\"" + hex + "\"}";
    if (!reply || out.size() >= reply_cap) return sp_fail(err, errlen, "response too large");

    if (sp_write_file_atomic(path, body, err, errlen) != 0) return -1;
    uint64_t now = now_unix_ts();
    CStr row(sp_build_row_json(key, user, db, tbl, proc, path, hex, now, now, defs));
    if (!row) {
        unlink(path);
        return sp_fail(err, errlen, "oom");
    }
    if (system_insert_row_with_wal(procedures_table().c_str(), key, row.get(), err, errlen) != 0) {
        unlink(path);
        return -1;
    }
    memcpy(reply, out.c_str(), out.size() + 1);
    return 0;
}

int sp_drop_procedure(const Session* session, const char* procedure, const char* table, char* reply,
                      size_t reply_cap, char* err, size_t errlen) {
    sp_clear(reply, reply_cap);
    if (check_session(session, err, errlen) != 0) return -1;
    std::string db_text = session_database(session);
    char db[64], proc[64], tbl[64] = "";
    if (copy_sp_ident_checked(db, sizeof db, db_text.c_str(), "database name", err, errlen) ||
        copy_sp_ident_checked(proc, sizeof proc, procedure, "procedure name", err, errlen))
        return -1;
    if (table && table[0] &&
        copy_sp_ident_checked(tbl, sizeof tbl, table, "table name", err, errlen) != 0)
        return -1;
    if (system_procedure_table_create_if_missing(err, errlen) != 0) return -1;
    char key[192];
    if (sp_make_proc_key(db, proc, key, sizeof key, err, errlen) != 0) return -1;
    std::string found_key, row;
    int found = find_proc_row(key, found_key, row, err, errlen);
    if (found < 0) return -1;
    if (found == 0) return sp_fail(err, errlen, "procedure not found");
    char row_table[64];
    if (!row_field(row.c_str(), "table_name", row_table, sizeof row_table))
        return sp_fail(err, errlen, "procedure catalog row is corrupt");
    if (tbl[0] && strcasecmp(tbl, row_table) != 0)
        return sp_fail(err, errlen, "procedure exists on a different table");
    char path[SP_PATH_SIZE];
    if (sp_expected_path_from_row(row.c_str(), path, sizeof path, err, errlen) != 0) return -1;
    // Built before the change: nothing that can throw follows it.
    const std::string out =
        std::string("{\"ok\":true,\"message\":\"procedure dropped\",\"database\":\"") +
        json_escaped(db) + "\",\"procedure\":\"" + json_escaped(proc) + "\"";
    if (system_delete_row_with_wal(procedures_table().c_str(), found_key.c_str(), err, errlen) != 0)
        return -1;
    // The row is gone, so the procedure is: a file that cannot be removed is
    // unused (a later CREATE of the name is refused until it is gone) and
    // answered as a warning.
    bool removed = unlink(path) == 0 || errno == ENOENT;
    // The removal itself is made durable, so a crash cannot bring the file
    // back without its catalog row.
    if (removed) fsync_dir_of(path);
    if (reply && reply_cap > 0)
        snprintf(reply, reply_cap, "%s%s}", out.c_str(),
                 removed ? "" : ",\"warning\":\"procedure file could not be removed\"");
    return 0;
}

int build_show_procedures_json(const char* database, const char* table_filter, char** out_json,
                               char* err, size_t errlen) {
    if (out_json) *out_json = nullptr;
    if (!out_json) return sp_fail(err, errlen, "internal procedure listing error");
    char db[64], filter[64] = "";
    if (copy_sp_ident_checked(db, sizeof db, (database && database[0]) ? database : "default",
                              "database name", err, errlen) != 0)
        return -1;
    if (table_filter && table_filter[0] &&
        copy_sp_ident_checked(filter, sizeof filter, table_filter, "table name", err, errlen) != 0)
        return -1;
    if (system_procedure_table_create_if_missing(err, errlen) != 0) return -1;
    std::vector<std::pair<std::string, std::string>> rows;
    if (catalog_live_rows(rows, err, errlen) != 0) return -1;
    std::string out = "{\"ok\":true,\"database\":\"" + json_escaped(db) + "\",\"procedures\":[";
    bool first = true;
    for (const auto& r : rows) {
        const char* row = r.second.c_str();
        char rdb[64], rtable[64], rproc[64], owner[64], path[512], sha[128], defs[2048] = "";
        if (!row_field(row, "database_name", rdb, sizeof rdb) ||
            !row_field(row, "table_name", rtable, sizeof rtable) ||
            !row_field(row, "procedure_name", rproc, sizeof rproc) ||
            !row_field(row, "owner_user", owner, sizeof owner) ||
            !row_field(row, "file_path", path, sizeof path) ||
            !row_field(row, "body_sha256", sha, sizeof sha))
            continue;
        if (!row_field(row, "param_defs", defs, sizeof defs)) defs[0] = '\0';
        if (strcasecmp(rdb, db) != 0) continue;
        if (filter[0] && strcasecmp(rtable, filter) != 0) continue;
        int enabled = 0;
        if (json_row_bool_field(row, "enabled", &enabled) != 0) enabled = 0;
        char status[160];
        sp_validate_catalog_row_file(row, status, sizeof status);
        bool valid = strcmp(status, "OK") == 0;
        auto raw_or_zero = [&](const char* key) {
            char* raw = nullptr;
            if (json_extract_raw(row, key, &raw) != 0 || !raw) return std::string("0");
            CStr hold(raw);
            std::string v = sp_trim(raw);
            return v.empty() ? std::string("0") : v;
        };
        if (!first) out += ',';
        first = false;
        out += "{\"name\":\"" + json_escaped(rproc) + "\",\"table\":\"" + json_escaped(rtable) +
               "\",\"owner\":\"" + json_escaped(owner) + "\",\"params\":\"" + json_escaped(defs) +
               "\",\"file_path\":\"" + json_escaped(path) + "\",\"sha256\":\"" + json_escaped(sha) +
               "\",\"enabled\":" + (enabled ? "true" : "false") +
               ",\"valid\":" + (valid ? "true" : "false") + ",\"status\":\"" +
               json_escaped(status) + "\",\"created_at\":" + raw_or_zero("created_at") +
               ",\"updated_at\":" + raw_or_zero("updated_at") + "}";
    }
    out += "]}";
    char* owned = sp_dup(out);
    if (!owned) return sp_fail(err, errlen, "oom");
    *out_json = owned;
    return 0;
}

int sp_load_procedure_body_checked(const Session* session, const char* procedure, char** out_body,
                                   char* table_name, ProcParamDef* params, int* param_count,
                                   char* err, size_t errlen) {
    if (out_body) *out_body = nullptr;
    sp_clear(table_name, 64);
    if (param_count) *param_count = 0;
    if (!out_body || !table_name) return sp_fail(err, errlen, "internal procedure load error");
    if (check_session(session, err, errlen) != 0) return -1;
    std::string db_text = session_database(session);
    char db[64], proc[64];
    if (copy_sp_ident_checked(db, sizeof db, db_text.c_str(), "database name", err, errlen) ||
        copy_sp_ident_checked(proc, sizeof proc, procedure, "procedure name", err, errlen))
        return -1;
    if (system_procedure_table_create_if_missing(err, errlen) != 0) return -1;
    char key[192];
    if (sp_make_proc_key(db, proc, key, sizeof key, err, errlen) != 0) return -1;
    std::string found_key, row_text;
    int found = find_proc_row(key, found_key, row_text, err, errlen);
    if (found < 0) return -1;
    if (found == 0) return sp_fail(err, errlen, "procedure not found");
    const char* row = row_text.c_str();
    char owner[64], rdb[64], rtable[64], rproc[64], path[512], sha[128], defs[2048] = "";
    int enabled = 0;
    if (!row_field(row, "owner_user", owner, sizeof owner) ||
        !row_field(row, "database_name", rdb, sizeof rdb) ||
        !row_field(row, "table_name", rtable, sizeof rtable) ||
        !row_field(row, "procedure_name", rproc, sizeof rproc) ||
        !row_field(row, "file_path", path, sizeof path) ||
        !row_field(row, "body_sha256", sha, sizeof sha) ||
        json_row_bool_field(row, "enabled", &enabled) != 0)
        return sp_fail(err, errlen, "procedure catalog row is corrupt");
    if (!row_field(row, "param_defs", defs, sizeof defs)) defs[0] = '\0';
    canonicalize_ident(owner);
    canonicalize_ident(rdb);
    canonicalize_ident(rtable);
    canonicalize_ident(rproc);
    if (!enabled) return sp_fail(err, errlen, "procedure is disabled");
    if (strcasecmp(rdb, db) != 0 || strcasecmp(rproc, proc) != 0)
        return sp_fail(err, errlen, "procedure catalog metadata mismatch");
    char expected[SP_PATH_SIZE];
    if (sp_expected_path_from_row(row, expected, sizeof expected, err, errlen) != 0) return -1;
    if (strcmp(expected, path) != 0) return sp_fail(err, errlen, "procedure catalog path mismatch");
    ProcParamDef parsed[SP_MAX_PARAMS] = {};
    int n = 0;
    if (params && sp_parse_param_defs_string(defs, parsed, &n, err, errlen) != 0) return -1;
    char* body_raw = nullptr;
    char hex[65];
    if (sp_read_file_body_checked(expected, &body_raw, hex, err, errlen) != 0) return -1;
    CStr body_hold(body_raw);
    if (strcasecmp(hex, sha) != 0) return sp_fail(err, errlen, "procedure file hash mismatch");
    std::string body = sp_trim(body_raw);
    if (sp_validate_body(body.c_str(), err, errlen) != 0) return -1;
    if (params && sp_validate_body_placeholders(body.c_str(), parsed, n, err, errlen) != 0)
        return -1;
    char* owned = sp_dup(body);
    if (!owned) return sp_fail(err, errlen, "oom");
    memcpy(table_name, rtable, sizeof rtable);
    if (params) memcpy(params, parsed, sizeof parsed);
    if (param_count) *param_count = n;
    *out_body = owned;
    return 0;
}
