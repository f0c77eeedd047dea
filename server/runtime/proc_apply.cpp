// Request side of stored procedures: takes the names, parameters, body and
// arguments from the JSON members or the SQL text and hands them to the
// procedure units (server/procedures). Members that do not fit their buffer
// are refused with "<member> too long", never cut.
#include "runtime/proc_apply.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "base/err.h"
#include "base/owned.h"
#include "base/text_util.h"
#include "procedures/sp_body.h"
#include "procedures/sp_catalog.h"
#include "procedures/sp_interpreter.h"
#include "procedures/sp_statements.h"
#include "query/session.h"
#include "runtime/job_queue.h"
#include "runtime/request_members.h"
#include "storage/ident.h"

namespace {

constexpr size_t kMsgSize = 256;
constexpr size_t kCreateReplySize = 1024 + 4096;  // fixed text, path, digest, escaped metadata
constexpr size_t kDropReplySize = 512;

// A procedure or table name member: canonicalised, then the strict check.
int checked_name(const std::string& text, const char* label, char* out, char* msg, size_t msglen) {
    return copy_sp_ident_checked(out, SP_NAME_SIZE, text.c_str(), label, msg, msglen);
}

}  // namespace

char* proc_handle_create(Job* job, char* msg, size_t msglen) {
    std::string proc, table, body;
    MemberRead rp = member_text(job->payload, "procedure", 64, true, &proc, msg, msglen);
    if (rp == MEMBER_REFUSED) return nullptr;
    MemberRead rt = member_text(job->payload, "table", 64, true, &table, msg, msglen);
    if (rt == MEMBER_REFUSED) return nullptr;
    MemberRead rb = member_text(job->payload, "body", 1024, false, &body, msg, msglen);
    if (rb == MEMBER_REFUSED) return nullptr;

    char name[SP_NAME_SIZE] = {0}, tname[SP_NAME_SIZE] = {0};
    ProcParamDef params[SP_MAX_PARAMS] = {};
    int count = 0;
    CStr owned_body;
    if (rp == MEMBER_PRESENT && rt == MEMBER_PRESENT && rb == MEMBER_PRESENT) {
        owned_body.reset(xstrdup(body.c_str()));
        if (!owned_body) {
            set_err(msg, msglen, "oom");
            return nullptr;
        }
        if (checked_name(proc, "procedure name", name, msg, msglen) != 0 ||
            checked_name(table, "table name", tname, msg, msglen) != 0 ||
            sp_validate_body(owned_body.get(), msg, msglen) != 0)
            return nullptr;
        std::string defs;
        MemberRead rd =
            member_text(job->payload, "params", SP_PARAM_DEFS_SIZE, false, &defs, msg, msglen);
        if (rd == MEMBER_ABSENT)
            rd = member_text(job->payload, "param_defs", SP_PARAM_DEFS_SIZE, false, &defs, msg,
                             msglen);
        if (rd == MEMBER_REFUSED) return nullptr;
        if (rd == MEMBER_PRESENT &&
            sp_parse_param_defs_string(defs.c_str(), params, &count, msg, msglen) != 0)
            return nullptr;
        if (sp_validate_body_placeholders(owned_body.get(), params, count, msg, msglen) != 0)
            return nullptr;
    } else {
        std::string sql;
        if (job_sql_member(job, 8192, &sql, msg, msglen) != 0) return nullptr;
        char* b = nullptr;
        if (parse_create_procedure_sql(sql.c_str(), name, tname, params, &count, &b, msg, msglen) !=
            0) {
            free(b);
            return nullptr;
        }
        owned_body.reset(b);
    }
    std::unique_ptr<char[]> out(new (std::nothrow) char[kCreateReplySize]);
    if (!out) {
        set_err(msg, msglen, "oom");
        return nullptr;
    }
    out[0] = '\0';
    if (sp_create_procedure(job->session, name, tname, owned_body.get(), params, count, out.get(),
                            kCreateReplySize, msg, msglen) != 0)
        return nullptr;
    return xstrdup(out.get());
}

char* proc_handle_drop(Job* job, char* msg, size_t msglen) {
    char name[SP_NAME_SIZE] = {0}, tname[SP_NAME_SIZE] = {0};
    std::string proc;
    MemberRead rp = member_text(job->payload, "procedure", 64, true, &proc, msg, msglen);
    if (rp == MEMBER_REFUSED) return nullptr;
    if (rp == MEMBER_PRESENT) {
        if (checked_name(proc, "procedure name", name, msg, msglen) != 0) return nullptr;
        std::string table;
        MemberRead rt = member_text(job->payload, "table", 64, true, &table, msg, msglen);
        if (rt == MEMBER_REFUSED) return nullptr;
        if (rt == MEMBER_PRESENT && !table.empty() &&
            checked_name(table, "table name", tname, msg, msglen) != 0)
            return nullptr;
    } else {
        std::string sql;
        if (job_sql_member(job, 1024, &sql, msg, msglen) != 0) return nullptr;
        if (parse_drop_procedure_sql(sql.c_str(), name, tname, msg, msglen) != 0) return nullptr;
    }
    char out[kDropReplySize] = {0};
    if (sp_drop_procedure(job->session, name, tname[0] ? tname : nullptr, out, sizeof out, msg,
                          msglen) != 0)
        return nullptr;
    return xstrdup(out);
}

char* proc_handle_call(Job* job, char* msg, size_t msglen) {
    // 16 arguments of 2048 bytes: kept off the commit thread's stack.
    std::unique_ptr<ProcCallArgs> args(new (std::nothrow) ProcCallArgs);
    if (!args) {
        set_err(msg, msglen, "oom");
        return nullptr;
    }
    memset(args.get(), 0, sizeof *args);
    char name[SP_NAME_SIZE] = {0};
    std::string proc;
    MemberRead rp = member_text(job->payload, "procedure", 64, true, &proc, msg, msglen);
    if (rp == MEMBER_REFUSED) return nullptr;
    if (rp == MEMBER_PRESENT) {
        if (checked_name(proc, "procedure name", name, msg, msglen) != 0) return nullptr;
        // The argument list's own limits decide ("CALL argument list too
        // long", "CALL argument too long").
        std::string list;
        MemberRead ra = member_text(job->payload, "args", 0, false, &list, msg, msglen);
        if (ra == MEMBER_ABSENT)
            ra = member_text(job->payload, "arguments", 0, false, &list, msg, msglen);
        if (ra == MEMBER_REFUSED) return nullptr;
        if (ra == MEMBER_PRESENT &&
            sp_parse_call_args_list(list.c_str(), args.get(), msg, msglen) != 0)
            return nullptr;
    } else {
        // As are the CALL statement's ("CALL statement too long").
        std::string sql;
        if (job_sql_member(job, 0, &sql, msg, msglen) != 0) return nullptr;
        if (parse_call_procedure_sql(sql.c_str(), name, args.get(), msg, msglen) != 0)
            return nullptr;
    }
    char* out = nullptr;
    if (sp_call_procedure(job->session, name, args.get(), &out, msg, msglen) != 0) {
        free(out);
        return nullptr;
    }
    if (!out) set_err(msg, msglen, "oom");
    return out;
}

int proc_show_json(const Job* job, char** out, char* err, size_t errlen) {
    *out = nullptr;
    char filter[SP_NAME_SIZE] = {0};
    char msg[kMsgSize] = {0};
    std::string text;
    if (job->table[0]) {
        snprintf(filter, sizeof filter, "%s", job->table);
        canonicalize_ident(filter);
    } else {
        MemberRead rt = member_text(job->payload, "table", 64, true, &text, msg, sizeof msg);
        if (rt == MEMBER_PRESENT) {
            snprintf(filter, sizeof filter, "%s", text.c_str());
        } else if (rt == MEMBER_ABSENT) {
            MemberRead rs = job_sql_text(job, 0, &text, msg, sizeof msg);
            if (rs == MEMBER_PRESENT &&
                parse_show_procedures_sql(text.c_str(), filter, msg, sizeof msg) != 0)
                rt = MEMBER_REFUSED;
        }
        if (rt == MEMBER_REFUSED) {
            set_err(err, errlen, msg);
            return -1;
        }
    }
    const Session* s = job->session;
    const char* db = (s && s->current_database[0]) ? s->current_database : "default";
    return build_show_procedures_json(db, filter, out, err, errlen);
}
