// The statement texts a SQL parser is fed: the "sql" member as it arrives
// and the normalised form the classifier reads (CR, LF, TAB and their
// escapes as blanks, trimmed).
#pragma once

#include <cstring>
#include <string>
#include <vector>

#include "base/sql_scan.h"
#include "base/text_util.h"

namespace kyrel_fuzz {

inline std::vector<std::string> sql_forms(const std::string& sql) {
    std::string norm = sql;
    normalize_sql_ws(norm.data());
    trim_ws(norm.data());
    norm.resize(strlen(norm.c_str()));
    return {sql.c_str(), norm};
}

}  // namespace kyrel_fuzz
