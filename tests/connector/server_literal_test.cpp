// The SQL string literals the connector writes, read back by the server's
// own literal reader: every text must come back unchanged. (A doubled quote
// would come back as two quotes there, and a trailing backslash would
// escape the closing quote.)
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "connector_owners.h"
#include "kyrelconnect_core.h"
#include "query/insert_parse.h"

namespace {

TEST(ServerLiteral, ConnectorLiteralsRoundTrip) {
    const char* texts[] = {"",     "plain", "O'Brien",   "end\\",   "a\\'b", "''",
                           "\\\\", "x\"y",  "tab\there", "a,b);--", "\\",    "'"};
    for (const char* t : texts) {
        std::string lit = take(kc_sql_literal_string(t));
        EXPECT_EQ(take(sql_string_literal_to_json(lit.c_str())), take(kc_json_quote(t)))
            << "text [" << t << "] literal " << lit;
    }
}

}  // namespace
